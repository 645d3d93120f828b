#include "board_job.h"

#include "frames.h"
#include "link_state_machine.h"
#include "live_view.h"
#include "open_serial_port.h"
#include "os_services.h"
#include "reporting.h"
#include "serial/serial_port.h"
#include "system.h"

#include <cstdio>

static int32_t blocks_of(int32_t bytes) { return bytes / MODBUS_PROG_BLOCKSIZE_MAX; }

static void job_trace(void *context, const char *text, int length)
{
    reports_trace(&static_cast<board_job *>(context)->reports, text, (size_t)length);
}

static void job_flush(void *context) { reports_flush(&static_cast<board_job *>(context)->reports); }

static void job_status(void *context, const char *text)
{
    auto *job = static_cast<board_job *>(context);
    {
        std::lock_guard<std::mutex> hold(job->mutex);
        job->snapshot.status = text;
    }
    reports_status(&job->reports, text);
}

static void job_event(void *context, const link_event *event)
{
    auto *job = static_cast<board_job *>(context);
    switch (event->kind) {
    case LINK_EVENT_BLOCK_ACKED: job->acknowledged++; break;
    case LINK_EVENT_BLOCK_REFUSED:
        if (job->refused.empty() || job->refused.back().block != event->block)
            job->refused.push_back({event->block, event->code});
        break;
    case LINK_EVENT_BLOCK_SKIPPED: job->skipped++; break;
    case LINK_EVENT_RESEND: job->result.resends++; break;
    default: break;
    }
    std::lock_guard<std::mutex> hold(job->mutex);
    job_snapshot &s = job->snapshot;
    if (event->kind == LINK_EVENT_STATE) {
        s.state = event->state;
        if (event->state == STATE_PROGRAM && s.program_started_ms == 0)
            s.program_started_ms = tick_count_ms() | 1; // never 0 once started
    }
    s.blocks_refused = (int32_t)job->refused.size();
    s.blocks_skipped = job->skipped;
    s.blocks_done = job->acknowledged + s.blocks_refused + job->skipped;
}

void job_route_reports(board_job *job)
{
    if (!job) {
        report_route(nullptr);
        return;
    }
    static thread_local report_sink sink;
    sink = {job, job_trace, job_flush, job_status, job_event};
    report_route(&sink);
}

void job_reports_setup(board_job *job, const job_settings *settings)
{
    job->settings = settings;
    job->reports.view = settings->view;
    job->reports.prefix = settings->prefixed ? job->port + ": " : "";
    job->reports.through = !settings->prefixed && !view_has_area(settings->view);
    job->reports.status_lines = settings->status_lines;
}

// Asked while a write waits for the line: gives up on an interrupt, or when
// no reply has moved the run on for the time-out.
static bool keep_writing(void *context)
{
    auto *job = static_cast<board_job *>(context);
    const job_settings *settings = job->settings;
    if (settings->interrupted->load())
        return false;
    if (settings->timeout_ms && tick_count_ms() - job->session.progress_at > settings->timeout_ms) {
        job->session.write_stalled = true;
        return false;
    }
    return true;
}

static bool not_interrupted(void *context)
{
    return !static_cast<board_job *>(context)->settings->interrupted->load();
}

static std::string where(const board_job *job)
{
    const update_link *link = job->link;
    char text[200];
    switch (link->state) {
    case STATE_PROGRAM:
    case STATE_COMPARE:
        snprintf(text, sizeof text, "while writing block %d of %d (%d of %d bytes acknowledged)",
                 (int)blocks_of(link->offset) + 1, (int)blocks_of(link->image_size),
                 (int)link->offset, (int)link->image_size);
        return text;
    case STATE_VERIFY: return "while verifying";
    case STATE_RESET: return "while resetting the target";
    default: return "while contacting the target";
    }
}

static const char *damage(const board_job *job)
{
    if (job->settings->check) // nothing was written
        return "";
    if (job->link->state == STATE_PROGRAM || job->link->state == STATE_COMPARE)
        return "; the target holds an incomplete image: run the update again";
    if (job->link->state == STATE_VERIFY)
        return "; the image is written but not verified: run the update again";
    return "";
}

static void fail(board_job *job, outcome_id outcome, const std::string &why, const char *hint = "")
{
    job->result.outcome = outcome;
    job->result.message = why + " " + where(job) + damage(job) + hint;
}

static const char *const check_hint =
    "; check the cable, the target's power, and that the target waits in its bootloader";

// "the target refused blocks 3 (exception 0x02), 127-137 (exception 0x02)":
// runs of blocks refused with one code are named as one.
static std::string refused_text(const board_job *job)
{
    const std::vector<refused_block> &refused = job->refused;
    std::string text;
    for (size_t i = 0; i < refused.size();) {
        size_t last = i;
        while (last + 1 < refused.size() && refused[last + 1].block == refused[last].block + 1 &&
               refused[last + 1].exception_code == refused[i].exception_code)
            last++;
        char item[64];
        if (last == i)
            snprintf(item, sizeof item, "%d", (int)refused[i].block);
        else
            snprintf(item, sizeof item, "%d-%d", (int)refused[i].block, (int)refused[last].block);
        text += (text.empty() ? "" : ", ") + std::string(item);
        snprintf(item, sizeof item, " (exception 0x%02x)", (unsigned)refused[i].exception_code);
        text += item;
        i = last + 1;
    }
    if (text.empty())
        return "";
    bool one = refused.size() == 1;
    return (one ? "the target refused block " : "the target refused blocks ") + text;
}

static void verify_failed(board_job *job, bool refused)
{
    bool check = job->settings->check;
    if (!refused) {
        job->result.outcome = OUTCOME_VERIFY_FAILED;
        job->result.message =
            check ? "DIFFERS: the target's CRC of the image's range differs from the image"
                  : "FAILED: the target's CRC of the written range differs from the image";
        return;
    }
    char text[160];
    snprintf(text, sizeof text, "%sthe target refused to verify (exception 0x%02x)",
             check ? "" : "FAILED: ", (unsigned)job->session.exception_code);
    job->result.outcome = OUTCOME_VERIFY_REFUSED;
    job->result.message = text;
    if (!job->refused.empty())
        job->result.message += "; the image may be larger than the target's flash";
}

// How the session ended, in the job's outcome and words.
static void judge_end(board_job *job, session_end end)
{
    char why[200];
    switch (end) {
    case SESSION_UPDATED: job->result.outcome = OUTCOME_UPDATED; return;
    case SESSION_RESET_UNCONFIRMED:
        job->result.outcome = OUTCOME_RESET_UNCONFIRMED;
        job->result.message =
            "warning: the image is written and verified, but the target did not confirm "
            "its reset; power-cycle the target if it stays in its bootloader";
        return;
    case SESSION_VERIFY_FAILED: verify_failed(job, false); return;
    case SESSION_VERIFY_REFUSED: verify_failed(job, true); return;
    case SESSION_PORT_LOST:
        error_phrase(job->session.system_code, why, sizeof why);
        fail(job, OUTCOME_PORT_LOST, std::string("the port stopped working (") + why + ")");
        return;
    case SESSION_STALLED:
        snprintf(why, sizeof why,
                 "the target stopped taking data (the line takes no more, and no valid reply "
                 "for %g s)",
                 job->settings->timeout_ms / 1000.0);
        fail(job, OUTCOME_STALLED, why, check_hint);
        return;
    case SESSION_TIMED_OUT:
        snprintf(why, sizeof why, "timed out: no valid reply for %g s",
                 job->settings->timeout_ms / 1000.0);
        fail(job, OUTCOME_TIMED_OUT, why, check_hint);
        return;
    case SESSION_BOARD_CHANGED:
        fail(job, OUTCOME_REMOVED, "removed (another board answered in its place)");
        return;
    case SESSION_RUNNING: fail(job, OUTCOME_INTERRUPTED, "interrupted"); return;
    }
}

#define NUMBER_RETRY_MS 250u // a source away for now is asked again this often

// Takes the board's number and makes its copy of the image, now that its
// target has answered and before any block is sent. A source that is away
// for now (a database server restarting) is waited for, up to the time-out.
// False when no number could be taken: the board is left alone.
static bool number_board(board_job *job)
{
    const job_settings *settings = job->settings;
    const serial_settings *serial = settings->serial;
    if (settings->check || !serial || !serial->used)
        return true;
    std::string why;
    serial_request request{job->port, job->slot, job->record_id};
    uint32_t since = tick_count_ms();
    serial_taken taken;
    for (bool told = false;
         (taken = serial_take(settings->serials, request, &job->serial_number, &why)) ==
             SERIAL_WAITING &&
         !settings->interrupted->load() &&
         (settings->timeout_ms == 0 || tick_count_ms() - since < settings->timeout_ms);
         told = true) {
        if (!told)
            status_printf("waiting for the database");
        sleep_ms(NUMBER_RETRY_MS);
    }
    job->numbered = taken == SERIAL_TAKEN;
    if (!job->numbered) {
        job->result.outcome = OUTCOME_NO_SERIAL_NUMBER;
        job->result.message = why + "; nothing was written";
        return false;
    }
    patch_serial_number(*settings->image, *serial, job->serial_number, &job->numbered_image);
    job->image = &job->numbered_image;
    return true;
}

void prepare_link(update_link *link, std::vector<uint8_t> *frame, const std::string &port)
{
    frame->assign(MODBUS_FRAME_LENGTH_MAX, 0);
    *link = update_link{};
    link->port_name = port.c_str();
    link->handle = INVALID_PORT_HANDLE;
    link->baud = LINE_SPEED;
    link->unit_address = UNIT_ADDRESS;
    link->capacity = MODBUS_FRAME_LENGTH_MAX;
    link->frame = frame->data();
}

// The job's counts and outcome, once it has ended.
static void finish_job(board_job *job, uint32_t started)
{
    std::string refused = refused_text(job);
    // Refused blocks that the verify still found right (blank ones, say)
    // leave the board updated, but never silently.
    if (!refused.empty() && outcome_passed(job->result.outcome))
        job->result.message = "warning: " + refused + "; its flash matches the image" +
                              (job->result.message.empty() ? "" : "; " + job->result.message);
    else if (!refused.empty())
        job->result.message += "; " + refused;
    reports_close_line(&job->reports);
    job_result &r = job->result;
    r.blocks_acknowledged = job->acknowledged;
    r.blocks_refused = (int32_t)job->refused.size();
    r.blocks_skipped = job->skipped;
    r.blocks_total = blocks_of(padded_size(*job->settings->image));
    r.seconds = (tick_count_ms() - started) / 1000.0;
    std::lock_guard<std::mutex> hold(job->mutex);
    job->snapshot.outcome = r.outcome;
}

// The session as this job runs it.
static void begin_session(board_job *job)
{
    const job_settings *settings = job->settings;
    update_session *s = &job->session;
    *s = update_session{};
    s->check = settings->check;
    s->timeout_ms = settings->timeout_ms;
    s->confirm_board = settings->fixture;
    s->paced_by_reads = true; // open_board_port asked for reads that end on whole replies
    if (settings->check || settings->fixture) { // a fixture's probe compares too
        job->ranges.clear();
        for (const image_range &part : check_ranges(*job->image, settings->serial))
            job->ranges.push_back({part.offset, part.length});
        s->ranges = job->ranges.data();
        s->range_count = (int32_t)job->ranges.size();
    }
    update_link *link = job->link;
    link->answers_only = settings->fixture;
    // A target answers contact within milliseconds: nothing gains from the
    // dialog's pause, and a board that starts late is asked again soon.
    link->prompt_contact = true;
    link->skip_unchanged = settings->skip_unchanged && !settings->check;
    link->hold_when_linked = true;
    session_begin(s, link, job->image->padded.data(), padded_size(*job->image));
}

void run_board_job(board_job *job, const job_settings *settings, update_link *link)
{
    job->link = link;
    job->image = settings->image;
    job_reports_setup(job, settings);
    if (job->reports.holding)
        reports_release(&job->reports); // the probe's trace is this board's
    job_route_reports(job);
    uint32_t started = tick_count_ms();
    port_set_write_check(link->handle, keep_writing, job);
    begin_session(job);
    session_end end = SESSION_RUNNING;
    if (link->state == STATE_START) {
        status_printf("Contacting Device...");
        end = session_run(&job->session, not_interrupted, job);
    }
    if (end == SESSION_RUNNING && not_interrupted(job) && number_board(job)) {
        session_continue(&job->session, job->image->padded.data(), padded_size(*job->image));
        end = session_run(&job->session, not_interrupted, job);
    }
    if (job->result.outcome != OUTCOME_NO_SERIAL_NUMBER)
        judge_end(job, end);
    trace_flush();
    finish_job(job, started);
    job_route_reports(nullptr);
}

probe_verdict probe_board_job(board_job *job, const job_settings *settings, update_link *link,
                              const probe_board *earlier)
{
    job->link = link;
    job->image = settings->image;
    job_reports_setup(job, settings);
    job->reports.holding = true;
    job->reports.held.clear();
    job_route_reports(job);
    port_set_write_check(link->handle, keep_writing, job);
    begin_session(job);
    probe_verdict verdict = session_probe(&job->session, earlier);
    trace_flush();
    job_route_reports(nullptr);
    return verdict;
}

void end_probed_job(board_job *job, outcome_id outcome)
{
    reports_release(&job->reports);
    job->result.outcome = outcome;
    if (outcome == OUTCOME_VERIFY_FAILED) {
        verify_failed(job, false);
    } else if (outcome == OUTCOME_NOT_IN_BOOTLOADER) {
        uint8_t code = 0;
        classify_reply(job->link->frame, job->link->len, &code, nullptr);
        char text[160];
        snprintf(text, sizeof text,
                 "the board answers as its application does (exception 0x%02x): start it in "
                 "its bootloader and place it again; nothing was written",
                 (unsigned)code);
        job->result.message = text;
    }
    finish_job(job, tick_count_ms());
}

bool open_board_port(board_job *job, const job_settings *settings, update_link *link)
{
    job->link = link;
    job_reports_setup(job, settings);
    job_route_reports(job); // the opening's own trace line is the port's
    bool opened = try_open_serial_port(link);
    if (opened)
        port_end_reads_on_whole_replies(link->handle);
    if (!opened) {
        job->result.outcome = OUTCOME_OPEN_FAILED;
        job->result.message = open_failure_message(job->port, last_error_code());
        finish_job(job, tick_count_ms());
    }
    job_route_reports(nullptr);
    return opened;
}

void run_board_on_port(board_job *job, const job_settings *settings)
{
    update_link link;
    std::vector<uint8_t> frame;
    prepare_link(&link, &frame, job->port);
    if (!open_board_port(job, settings, &link))
        return;
    run_board_job(job, settings, &link);
    port_close(link.handle);
}

job_snapshot job_progress(board_job *job)
{
    std::lock_guard<std::mutex> hold(job->mutex);
    return job->snapshot;
}
