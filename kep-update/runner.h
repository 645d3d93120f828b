// The one runner of kep-update: starts a job for each target, follows it in
// the live view, reaps it and records it. Named ports are a watch over a
// fixed list that ends when the list is done; --watch takes the ports that
// appear and match its patterns until it is stopped.
#pragma once

#include "board_job.h"
#include "report_log.h"
#include "serial_number.h"
#include "system.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#define RUNNER_TICK_MS 100u // ports scanned and the live area redrawn

struct run_settings {
    std::vector<std::string> ports; // named ports, or with `watch` the patterns
    bool watch = false;
    bool skip_present = false; // --watch: leave the ports present at the start alone
    bool quiet = false;
    report_file *report = nullptr; // nullptr: no --report
    serial_settings serial;        // each board's own number, when used
    job_settings job;
};

// One target from start to record.
struct board {
    board_job job;
    std::thread worker;
    std::atomic<bool> done{false};
    usb_identity usb;
    bool numbered = false;  // took a serial number
    uint64_t serial_number = 0;
    update_image image;     // its own copy, when numbered
    int64_t started_ms = 0, ended_ms = 0; // wall clock, for the record
    bool recorded = true;                 // its record, when wanted, is on the disk
};

// Its exit status: the outcome's, or 5 when its record could not be written.
int board_status(const board *b);

// Runs until the list is done or, with `watch`, until `*stopping` (the first
// Ctrl-C) and the running boards have ended; `job.interrupted` (a second
// Ctrl-C) cuts them short. Returns the highest exit status of the boards, 0
// when there were none.
int run_boards(const run_settings *settings, const std::atomic<bool> *stopping);
