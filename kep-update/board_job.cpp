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

// The trace goes out whole lines at a time, so that the lines of several
// ports never mix within a line and a terminal's live area is never drawn
// into one; one port without an area writes through as is.
static bool writes_through(const board_job *job)
{
    return !job->settings->prefixed && !view_has_area(job->settings->view);
}

static void job_trace(void *context, const char *text, int length)
{
    auto *job = static_cast<board_job *>(context);
    if (length > 0)
        job->line_open = text[length - 1] != '\n';
    if (writes_through(job)) {
        view_trace_through(job->settings->view, text, (size_t)length);
        return;
    }
    job->partial_line.append(text, (size_t)length);
    size_t end;
    std::string prefix = job->settings->prefixed ? job->port + ": " : "";
    while ((end = job->partial_line.find('\n')) != std::string::npos) {
        view_trace_line(job->settings->view, prefix + job->partial_line.substr(0, end + 1));
        job->partial_line.erase(0, end + 1);
    }
}

static void job_flush(void *context)
{
    auto *job = static_cast<board_job *>(context);
    if (writes_through(job))
        view_trace_flush(job->settings->view);
}

static void job_status(void *context, const char *text)
{
    auto *job = static_cast<board_job *>(context);
    {
        std::lock_guard<std::mutex> hold(job->mutex);
        job->snapshot.status = text;
    }
    if (job->settings->status_lines)
        view_note(job->settings->view,
                  (job->settings->prefixed ? job->port + ": " : "") + text + "\n");
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
    case LINK_EVENT_VERIFY_REFUSED:
        job->verify_refused = true;
        job->verify_exception = event->code;
        break;
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
    s.blocks_done = job->acknowledged + s.blocks_refused;
}

// Asked while a write waits for the line: gives up on an interrupt, or when
// no valid reply has come for the time-out.
static bool keep_writing(void *context)
{
    auto *job = static_cast<board_job *>(context);
    const job_settings *settings = job->settings;
    if (settings->interrupted->load())
        return false;
    if (settings->timeout_ms && tick_count_ms() - job->last_progress_ms > settings->timeout_ms) {
        job->write_stalled = true;
        return false;
    }
    return true;
}

static std::string where(const board_job *job)
{
    const update_link *link = &job->link;
    char text[200];
    switch (link->state) {
    case STATE_PROGRAM:
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
    if (job->link.state == STATE_PROGRAM)
        return "; the target holds an incomplete image: run the update again";
    if (job->link.state == STATE_VERIFY)
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

// "; the target refused blocks 3 (exception 0x02), 127-137 (exception 0x02)":
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
    return (one ? "; the target refused block " : "; the target refused blocks ") + text;
}

static void verify_failed(board_job *job)
{
    bool check = job->settings->check;
    if (!job->verify_refused) {
        job->result.outcome = OUTCOME_VERIFY_FAILED;
        job->result.message =
            check ? "DIFFERS: the target's CRC of the image's range differs from the image"
                  : "FAILED: the target's CRC of the written range differs from the image";
        return;
    }
    char text[160];
    snprintf(text, sizeof text, "FAILED: the target refused to verify (exception 0x%02x)",
             (unsigned)job->verify_exception);
    job->result.outcome = OUTCOME_VERIFY_REFUSED;
    job->result.message = text;
    if (!job->refused.empty())
        job->result.message += "; the image may be larger than the target's flash";
}

// The end of a step, if it ended the job: true with the outcome set.
// `*reset_since` holds the tick the reset was first requested, once it was.
static bool step_ended_job(board_job *job, bool *resetting, uint32_t *reset_since)
{
    update_link *link = &job->link;
    if (job->settings->interrupted->load()) {
        fail(job, OUTCOME_INTERRUPTED, "interrupted");
        return true;
    }
    if (link->state == STATE_DONE) {
        job->result.outcome = OUTCOME_UPDATED;
        return true;
    }
    if (link->state == STATE_FAILED) {
        verify_failed(job);
        return true;
    }
    long code = 0;
    bool lost = port_failed(link->handle, &code);
    uint32_t now = tick_count_ms();
    if (link->state == STATE_RESET) {
        if (!*resetting)
            *reset_since = now;
        *resetting = true;
        // The image is proven in the target once the CRCs matched: a reset
        // that gets no answer (many targets drop off the line as they
        // restart) is a warning.
        if (lost || job->write_stalled || now - *reset_since > RESET_CONFIRM_LIMIT_MS) {
            job->result.outcome = OUTCOME_RESET_UNCONFIRMED;
            job->result.message =
                "warning: the image is written and verified, but the target did not confirm "
                "its reset; power-cycle the target if it stays in its bootloader";
            return true;
        }
    }
    if (job->write_stalled) {
        char why[120];
        snprintf(why, sizeof why,
                 "the target stopped taking data (the line takes no more, and no valid reply "
                 "for %g s)",
                 job->settings->timeout_ms / 1000.0);
        fail(job, OUTCOME_STALLED, why, check_hint);
        return true;
    }
    if (lost) {
        char system_text[200];
        error_phrase(code, system_text, sizeof system_text);
        fail(job, OUTCOME_PORT_LOST, std::string("the port stopped working (") + system_text + ")");
        return true;
    }
    return false;
}

// Steps until the link is done or failed, or a limit ends it.
static void step_link(board_job *job)
{
    update_link *link = &job->link;
    const job_settings *settings = job->settings;
    job->last_progress_ms = tick_count_ms();
    int32_t seen_state = link->state, seen_offset = link->offset;
    bool resetting = false;
    uint32_t reset_since = 0;
    for (;;) {
        if (settings->interrupted->load()) {
            fail(job, OUTCOME_INTERRUPTED, "interrupted");
            return;
        }
        link_step(link);
        if (step_ended_job(job, &resetting, &reset_since))
            return;
        uint32_t now = tick_count_ms();
        if (link->state != seen_state || link->offset != seen_offset) {
            seen_state = link->state;
            seen_offset = link->offset;
            job->last_progress_ms = now;
        } else if (settings->timeout_ms && link->state != STATE_RESET &&
                   now - job->last_progress_ms > settings->timeout_ms) {
            char why[64];
            snprintf(why, sizeof why, "timed out: no valid reply for %g s",
                     settings->timeout_ms / 1000.0);
            fail(job, OUTCOME_TIMED_OUT, why, check_hint);
            return;
        }
        // Contacting keeps the dialog's timing: each step re-sends the query.
        bool awaiting = link->state == STATE_PROGRAM || link->state == STATE_VERIFY ||
                        link->state == STATE_RESET;
        if (!awaiting || !reads_end_on_whole_replies())
            sleep_ms(STEP_INTERVAL_MS);
    }
}

static void prepare_link(board_job *job)
{
    const update_image *image = job->image;
    job->frame.assign(MODBUS_FRAME_LENGTH_MAX, 0);
    update_link *link = &job->link;
    link->port_name = job->port.c_str();
    link->handle = INVALID_PORT_HANDLE;
    link->baud = 115200;
    link->unit_address = UNIT_ADDRESS;
    link->capacity = MODBUS_FRAME_LENGTH_MAX;
    link->frame = job->frame.data();
    // The engine only reads the image; the link record's field is not const.
    link->image = const_cast<uint8_t *>(image->padded.data());
    link->image_size = padded_size(*image);
    link->flash_base = FLASH_IMAGE_BASE;
    link->check_only = job->settings->check;
}

// The link's verify request and local CRC over one part of the image.
static void aim_check(board_job *job, image_range range)
{
    job->link.image = const_cast<uint8_t *>(job->image->padded.data()) + range.offset;
    job->link.image_size = range.length;
    job->link.flash_base = FLASH_IMAGE_BASE + (uint32_t)range.offset;
}

// A check compares the image's own bytes, whatever follows them in the
// target (an update verifies all it wrote, padding included), and skips a
// board's serial number: one verify request per part, on one link.
static void check_link(board_job *job)
{
    std::vector<image_range> ranges = check_ranges(*job->image, job->settings->serial);
    for (size_t i = 0; i < ranges.size(); i++) {
        aim_check(job, ranges[i]);
        if (i > 0)
            link_enter(&job->link, STATE_VERIFY);
        step_link(job);
        if (job->result.outcome != OUTCOME_UPDATED)
            return;
    }
}

void run_board_job(board_job *job, const job_settings *settings, const update_image *image)
{
    job->settings = settings;
    job->image = image;
    report_sink sink{job, job_trace, job_flush, job_status, job_event};
    report_route(&sink);
    uint32_t started = tick_count_ms();
    prepare_link(job);
    if (try_open_serial_port(&job->link)) {
        port_set_write_check(job->link.handle, keep_writing, job);
        status_printf("Contacting Device...");
        if (settings->check)
            check_link(job);
        else
            step_link(job);
        port_close(job->link.handle);
        job->link.handle = INVALID_PORT_HANDLE;
    } else {
        job->result.outcome = OUTCOME_OPEN_FAILED;
        job->result.message = open_failure_message(job->port, last_error_code());
    }
    job->result.message += refused_text(job);
    // A line cut short by the end still gets out whole.
    if (!job->partial_line.empty() || (writes_through(job) && job->line_open))
        job_trace(job, "\n", 1);
    trace_flush();
    job_result &r = job->result;
    r.blocks_acknowledged = job->acknowledged;
    r.blocks_refused = (int32_t)job->refused.size();
    r.blocks_total = blocks_of(padded_size(*image));
    r.seconds = (tick_count_ms() - started) / 1000.0;
    {
        std::lock_guard<std::mutex> hold(job->mutex);
        job->snapshot.outcome = r.outcome;
    }
    report_route(nullptr);
}

job_snapshot job_progress(board_job *job)
{
    std::lock_guard<std::mutex> hold(job->mutex);
    return job->snapshot;
}
