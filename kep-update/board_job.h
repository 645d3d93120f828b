// One target's update or check on an open port, run by the engine's update
// session with what a command line adds: a time-out, a write that gives up,
// an interrupt, a serial number taken once the target has answered and
// before the first block, and the wording of how it ended. While the job
// runs it hands out a snapshot of its progress; at its end, a result.
#pragma once

#include "board_reports.h"
#include "job_result.h"
#include "serial_number.h"
#include "serial_source.h"
#include "update_image.h"
#include "update_link.h"
#include "update_session.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

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
    bool fixture = false;      // a station's slot: replies must answer their request, boards are confirmed
    bool skip_unchanged = false; // leave out the blocks whose two half CRCs the target already matches
    // Each board's own number, when used; a check skips the number's field.
    const serial_settings *serial = nullptr;
    const serial_source *serials = nullptr; // where the numbers come from
};

// What the live view shows of a running job.
struct job_snapshot {
    std::string status;
    int32_t state = STATE_START;
    int32_t blocks_done = 0; // answered: acknowledged or refused
    int32_t blocks_refused = 0;
    uint32_t program_started_ms = 0; // tick of the first block, 0 before it
    outcome_id outcome = OUTCOME_RUNNING;
    int32_t blocks_skipped = 0; // already there: not written
};

struct refused_block {
    int32_t block; // from 1
    int32_t exception_code;
};

struct board_job {
    std::string port;
    std::string slot;      // the watch slot's name, for the serial number's ledger
    std::string record_id; // of the board's record, for the serial number's ledger
    const job_settings *settings = nullptr;
    update_link *link = nullptr;
    update_session session{};
    std::vector<session_range> ranges; // a check's parts of the image
    const update_image *image = nullptr; // what the link writes: settings->image, or numbered
    bool numbered = false;               // took a serial number
    uint64_t serial_number = 0;
    update_image numbered_image; // the image with the board's number in its field
    board_reports reports;

    // Private to the job's thread.
    std::vector<refused_block> refused;
    int32_t acknowledged = 0;
    int32_t skipped = 0;
    job_result result;

    std::mutex mutex; // guards `snapshot`
    job_snapshot snapshot;
};

// The link record for `port`, its frame buffer in `frame`, ready to open.
void prepare_link(update_link *link, std::vector<uint8_t> *frame, const std::string &port);

// How the job's trace and status go out.
void job_reports_setup(board_job *job, const job_settings *settings);

// Runs the update (or check) of the target on `link`, which is open: from
// STATE_START it contacts the target first; a link a station's probe has
// answered goes on at once. Fills job->result; the port stays open.
void run_board_job(board_job *job, const job_settings *settings, update_link *link);

// A station's look at the board on `link` (open), its trace held back until
// the board is taken up: contact, then its CRC of the image (first of the
// `earlier` board's acknowledged bytes, when given). The link is left
// answered: run_board_job goes on with the update, end_probed_job records
// what the probe found.
probe_verdict probe_board_job(board_job *job, const job_settings *settings, update_link *link,
                              const probe_board *earlier);

// A probed board taken up without writing: found holding the image
// (OUTCOME_UPDATED, recorded as a check), not in its bootloader, or with
// --check differing (OUTCOME_VERIFY_FAILED). Fills job->result.
void end_probed_job(board_job *job, outcome_id outcome);

// Opens `link` (prepared for job->port); when it does not open, the job has
// ended with OUTCOME_OPEN_FAILED and why.
bool open_board_port(board_job *job, const job_settings *settings, update_link *link);

// Opens job->port, runs the job and closes the port.
void run_board_on_port(board_job *job, const job_settings *settings);

// Routes this thread's reports to the job (null: back to the default).
void job_route_reports(board_job *job);

job_snapshot job_progress(board_job *job);
