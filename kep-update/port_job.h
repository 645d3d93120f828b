// One target's update, from opening its port to closing it: the engine
// stepped every 10 ms as the dialog's window timer would, with the time-out,
// port-failure and interrupt checks that a command line needs.
#pragma once

#include "exit_status.h"
#include "reporting.h"
#include "update_link.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#define STEP_INTERVAL_MS 10u

#define RESET_CONFIRM_LIMIT_MS 1000u

enum job_outcome {
    JOB_RUNNING,
    JOB_UPDATED,
    JOB_RESET_UNCONFIRMED, // written and verified; the reset got no answer
    JOB_VERIFY_FAILED,
    JOB_OPEN_FAILED,
    JOB_TIMED_OUT,
    JOB_STALLED, // the line took no data for --timeout
    JOB_PORT_LOST,
    JOB_INTERRUPTED,
};

// What the display shows of a job; guarded by the job's own mutex.
struct job_progress {
    std::string status;
    int32_t state = STATE_START;
    int32_t offset = 0;
    uint32_t program_started_ms = 0; // tick of the first block, 0 before it
    job_outcome outcome = JOB_RUNNING;
};

// A block the target answered with a Modbus exception.
struct refused_block {
    int32_t block; // from 1
    int32_t exception_code;
};

struct progress_display;
struct job_limits;

struct port_job {
    std::string port_name;
    std::string prefix;            // put before each trace and status line; empty for one port
    bool show_status_lines = true; // plain status lines on standard error
    bool check_only = false;       // --check: verify only, nothing written, no reset

    update_link link{};
    std::vector<uint8_t> frame;
    report_sink sink{};
    std::string partial_line;            // trace text waiting for its line end
    bool line_open = false;              // the last trace text written did not end a line
    progress_display *display = nullptr; // trace lines go above its progress area

    std::mutex mutex;
    job_progress progress;

    const job_limits *limits = nullptr;
    uint32_t last_progress_ms = 0; // the last valid reply that moved the update on
    bool write_stalled = false;    // a write gave up: the line took nothing in time
    std::vector<refused_block> refused;

    job_outcome outcome = JOB_RUNNING;
    std::string message; // why the job ended, or the warning, when not plainly updated
    uint32_t started_ms = 0;
    uint32_t ended_ms = 0;
};

struct job_limits {
    uint32_t timeout_ms; // 0: wait for ever
    const std::atomic<bool> *interrupted;
};

// Runs the whole update of `job` against `image` (padded, shared read-only).
void run_port_job(port_job *job, uint8_t *image, int32_t image_size, const job_limits *limits);

exit_status job_exit_status(const port_job *job);
const char *job_outcome_text(job_outcome outcome);
