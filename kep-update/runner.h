// The one runner of kep-update: a slot for each port, each on a thread of its
// own, whose boards it follows in the live view, reaps, records and tallies.
// A named port's slot updates the one board on it and ends; a watched port's
// slot probes its line for as long as its port is there and follows the
// boards placed on it (slot_table.h), so that boards swapped on an adapter
// that stays in its fixture are each found, updated and recorded once.
#pragma once

#include "board_job.h"
#include "board_record.h"
#include "line_stats.h"
#include "record_sink.h"
#include "serial_source.h"
#include "slot_names.h"
#include "slot_table.h"
#include "system.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#define RUNNER_TICK_MS 100u   // ports scanned and the live area redrawn
#define REPROBE_PAUSE_MS 40u  // a board that answered is probed again after this
#define REOPEN_PAUSE_MS 1000u // a watched port that did not open is tried again

struct run_settings {
    std::vector<std::string> ports; // named ports, or with `watch` the patterns
    bool watch = false;
    bool skip_present = false; // --watch: leave the boards present at the start alone
    bool quiet = false;
    bool bell = false; // ring the terminal's bell on each failed board
    const record_sink *records = nullptr; // nullptr: no --report
    record_origin origin;
    std::vector<slot_name_rule> slot_names; // --slot-name
    job_settings job;
};

// One board from its probe (or start) to its record.
struct board {
    board_job job;
    usb_identity usb;
    bool check = false; // recorded as a check: --check, or found holding the image
    int64_t started_ms = 0, ended_ms = 0; // wall clock, for the record
    bool recorded = true;                 // its record, when wanted, is stored
};

struct slot {
    std::string port;
    std::string name; // its place on the fixture (--slot-name), or empty
    bool leave_alone = false;
    std::thread worker;
    std::atomic<bool> done{false};  // its thread has ended
    std::atomic<bool> leave{false}; // its port is gone: end after the running board

    std::mutex mutex; // guards the fields below
    slot_row row = ROW_EMPTY;
    std::string shown;       // the row's detail: a serial number, why it failed
    bool unrecorded = false; // the row's board has no record
    board *running = nullptr;
    std::vector<std::unique_ptr<board>> ended; // boards that ended, for the runner
    size_t reaped = 0;                         // of `ended`: the first ones are reaped
};

// Its exit status: the outcome's, or 5 when its record could not be stored.
int board_status(const board *b);

// Runs until the list is done or, with `watch`, until `*stopping` (the first
// Ctrl-C) and the running boards have ended; `job.interrupted` (a second
// Ctrl-C) cuts them short. Returns the highest exit status of the boards, 0
// when there were none.
int run_boards(const run_settings *settings, const std::atomic<bool> *stopping);
