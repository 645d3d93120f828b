// One target's update or check on an open port: the engine stepped every
// 10 ms as the dialog's window timer would (while a reply is awaited, as
// often as the reads allow where they end on whole replies:
// reads_end_on_whole_replies), with the time-out, port-failure and interrupt
// checks that a command line needs. A board's serial number is taken once its
// target has answered contact, before the first block. While the job runs it
// hands out a snapshot of its progress; at its end, a result.
#pragma once

#include "job_result.h"
#include "outcome.h"
#include "serial_number.h"
#include "update_image.h"
#include "update_link.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#define STEP_INTERVAL_MS 10u
#define RESET_CONFIRM_LIMIT_MS 1000u

struct live_view;

// The same for every target of a run.
struct job_settings {
    const update_image *image = nullptr;
    bool check = false;      // compare only: nothing written, no reset
    uint32_t timeout_ms = 0; // 0: wait for ever
    const std::atomic<bool> *interrupted = nullptr;
    live_view *view = nullptr; // where trace and status text go
    bool status_lines = true;  // plain status lines on standard error
    bool prefixed = false;     // each line starts with the port name (several targets)
    // Each board's own number, when used; a check skips the number's field.
    const serial_settings *serial = nullptr;
    bool probe = false; // a watch's look for a board: its trace is held back, an exception
                        // answering contact is "not in its bootloader"
};

// What the live view shows of a running job.
struct job_snapshot {
    std::string status;
    int32_t state = STATE_START;
    int32_t blocks_done = 0; // answered: acknowledged or refused
    int32_t blocks_refused = 0;
    uint32_t program_started_ms = 0; // tick of the first block, 0 before it
    outcome_id outcome = OUTCOME_RUNNING;
};

struct refused_block {
    int32_t block; // from 1
    int32_t exception_code;
};


struct board_job {
    std::string port;
    const job_settings *settings = nullptr;
    update_link *link = nullptr;         // open, in STATE_START or STATE_LINKED
    const update_image *image = nullptr; // what the link writes: settings->image, or numbered
    bool numbered = false;               // took a serial number
    uint64_t serial_number = 0;
    update_image numbered_image; // the image with the board's number in its field

    // Private to the job's thread.
    std::string held_trace;   // a probe's trace, given out only if the board counts
    std::string partial_line; // trace text waiting for its line end
    bool line_open = false;   // the last trace text written did not end a line
    uint32_t last_progress_ms = 0;
    bool write_stalled = false;
    bool verify_refused = false;
    int32_t verify_exception = 0;
    size_t next_range = 0; // a check's next part of the image
    std::vector<refused_block> refused;
    int32_t acknowledged = 0;
    job_result result;

    std::mutex mutex; // guards `snapshot`
    job_snapshot snapshot;
};

// The link record for `port`, its frame buffer in `frame`, ready to open.
void prepare_link(update_link *link, std::vector<uint8_t> *frame, const std::string &port);

// Runs the update (or check) of the target on `link`, which is open: from
// STATE_START it contacts the target first; from STATE_LINKED (a watch found
// the board) it goes on at once. Fills job->result; the port stays open.
void run_board_job(board_job *job, const job_settings *settings, update_link *link);

// Opens `link` (prepared for job->port); when it does not open, the job has
// ended with OUTCOME_OPEN_FAILED and why.
bool open_board_port(board_job *job, const job_settings *settings, update_link *link);

// Opens job->port, runs the job and closes the port.
void run_board_on_port(board_job *job, const job_settings *settings);

// A probe's held-back trace, written out as the board's own.
void release_held_trace(board_job *job);

job_snapshot job_progress(board_job *job);
