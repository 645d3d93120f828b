// The one runner of kep-update: a slot for each port, each on a thread of its
// own, whose boards it follows in the live view, reaps and records. A named
// port's slot updates the one board on it and ends; a watched port's slot
// looks for boards by contact for as long as its port is there, so that
// boards swapped on an adapter that stays in its fixture are each found.
#pragma once

#include "board_job.h"
#include "report_log.h"
#include "serial_number.h"
#include "system.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#define RUNNER_TICK_MS 100u     // ports scanned and the live area redrawn
#define LOOK_TIMEOUT_MS 350u    // one look for a board on a watched port
#define BOARD_LEFT_MS 1000u     // no bootloader's answer this long: the board has left
#define REOPEN_PAUSE_MS 1000u   // a watched port that did not open is tried again
#define RATE_AFTER_MS 60000u    // boards per hour shown once the station has run this long

struct run_settings {
    std::vector<std::string> ports; // named ports, or with `watch` the patterns
    bool watch = false;
    bool skip_present = false; // --watch: leave the boards present at the start alone
    bool quiet = false;
    bool bell = false; // ring the terminal's bell on each failed board
    report_file *report = nullptr; // nullptr: no --report
    serial_settings serial;        // each board's own number, when used
    job_settings job;
};

// One target from start to record.
struct board {
    board_job job;
    usb_identity usb;
    bool check = false; // recorded as a check: --check, or found holding the image
    int64_t started_ms = 0, ended_ms = 0; // wall clock, for the record
    bool recorded = true;                 // its record, when wanted, is on the disk
};

// What a slot's row says between boards.
enum slot_state {
    SLOT_EMPTY,
    SLOT_BUSY,                // a board's update runs
    SLOT_PASSED,              // until the board leaves, or another takes its place
    SLOT_HOLDS,               // found holding the image
    SLOT_FAILED,              // until the slot has been empty
    SLOT_NOT_IN_BOOTLOADER,   // a board answering as its application does
    SLOT_LEFT_ALONE,          // --skip-present: the board there at the start
    SLOT_NO_PORT,             // the port did not open, or stopped working
};

struct slot {
    std::string port;
    bool leave_alone = false;
    std::thread worker;
    std::atomic<bool> done{false};  // its thread has ended
    std::atomic<bool> leave{false}; // its port is gone: end after the running board
    job_settings look;              // a watch's look for a board

    std::mutex mutex; // guards the fields below
    slot_state state = SLOT_EMPTY;
    std::string shown;      // the state's detail: a serial number, why it failed
    board *running = nullptr;
    std::vector<std::unique_ptr<board>> ended; // boards that ended, for the runner
    size_t reaped = 0;                         // of `ended`: the first ones are reaped
};

// Its exit status: the outcome's, or 5 when its record could not be written.
int board_status(const board *b);

// Runs until the list is done or, with `watch`, until `*stopping` (the first
// Ctrl-C) and the running boards have ended; `job.interrupted` (a second
// Ctrl-C) cuts them short. Returns the highest exit status of the boards, 0
// when there were none.
int run_boards(const run_settings *settings, const std::atomic<bool> *stopping);
