// One target's update or check, from opening its port to closing it: the
// engine stepped every 10 ms as the dialog's window timer would (while a
// reply is awaited, as often as the reads allow where they end on whole
// replies: reads_end_on_whole_replies), with the
// time-out, port-failure and interrupt checks that a command line needs. While
// it runs it hands out a snapshot of its progress; at its end, a result.
#pragma once

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
    const serial_settings *serial = nullptr; // a check then skips the number's field
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

struct job_result {
    outcome_id outcome = OUTCOME_RUNNING;
    std::string message; // why it ended, or the warning, when not plainly updated
    int32_t blocks_acknowledged = 0;
    int32_t blocks_refused = 0;
    int32_t blocks_total = 0;
    int32_t resends = 0;
    double seconds = 0;
};

struct board_job {
    std::string port;
    const job_settings *settings = nullptr;
    const update_image *image = nullptr; // this board's: settings->image, or its numbered copy

    // Private to the job's own thread.
    update_link link{};
    std::vector<uint8_t> frame;
    std::string partial_line; // trace text waiting for its line end
    bool line_open = false;   // the last trace text written did not end a line
    uint32_t last_progress_ms = 0;
    bool write_stalled = false;
    bool verify_refused = false;
    int32_t verify_exception = 0;
    std::vector<refused_block> refused;
    int32_t acknowledged = 0;
    job_result result;

    std::mutex mutex; // guards `snapshot`
    job_snapshot snapshot;
};

// Runs the whole update (or check) of `job->port` with `image`; fills job->result.
void run_board_job(board_job *job, const job_settings *settings, const update_image *image);

job_snapshot job_progress(board_job *job);
