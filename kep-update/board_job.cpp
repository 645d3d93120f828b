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

// Trace text on its way out: through as is, or whole lines only.
static void emit_trace(board_job *job, const char *text, size_t length)
{
    if (length > 0)
        job->line_open = text[length - 1] != '\n';
    if (writes_through(job)) {
        view_trace_through(job->settings->view, text, length);
        return;
    }
    job->partial_line.append(text, length);
    size_t end;
    std::string prefix = job->settings->prefixed ? job->port + ": " : "";
    while ((end = job->partial_line.find('\n')) != std::string::npos) {
        view_trace_line(job->settings->view, prefix + job->partial_line.substr(0, end + 1));
        job->partial_line.erase(0, end + 1);
    }
}

// A watch looks for boards several times a second; its trace reaches the
// output only for the look that found one.
static void job_trace(void *context, const char *text, int length)
{
    auto *job = static_cast<board_job *>(context);
    if (job->settings->probe)
        job->held_trace.append(text, (size_t)length);
    else
        emit_trace(job, text, (size_t)length);
}

void release_held_trace(board_job *job)
{
    emit_trace(job, job->held_trace.data(), job->held_trace.size());
    job->held_trace.clear();
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
    if (job->settings->status_lines && !job->settings->probe)
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
    const update_link *link = job->link;
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
    if (job->link->state == STATE_PROGRAM)
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
    snprintf(text, sizeof text, "%sthe target refused to verify (exception 0x%02x)",
             check ? "" : "FAILED: ", (unsigned)job->verify_exception);
    job->result.outcome = OUTCOME_VERIFY_REFUSED;
    job->result.message = text;
    if (!job->refused.empty())
        job->result.message += "; the image may be larger than the target's flash";
}

// The link's requests and local CRC over `length` bytes of the job's image
// from `offset`.
static void aim(board_job *job, int32_t offset, int32_t length)
{
    update_link *link = job->link;
    // The engine only reads the image; the link record's field is not const.
    link->image = const_cast<uint8_t *>(job->image->padded.data()) + offset;
    link->image_size = length;
    link->flash_base = FLASH_IMAGE_BASE + (uint32_t)offset;
}

// A check compares the image's own bytes, whatever follows them in the
// target (an update verifies all it wrote, padding included), and skips a
// board's serial number: one verify request per part, on one link. False
// when no part is left.
static bool aim_next_part(board_job *job)
{
    if (!job->settings->check)
        return false;
    std::vector<image_range> parts = check_ranges(*job->image, job->settings->serial);
    if (job->next_range >= parts.size())
        return false;
    image_range part = parts[job->next_range++];
    aim(job, part.offset, part.length);
    link_enter(job->link, STATE_VERIFY);
    return true;
}

// Takes the board's number and makes its copy of the image, now that its
// target has answered and before any block is sent. False when no number
// could be taken: the board is left alone.
static bool number_board(board_job *job)
{
    const serial_settings *serial = job->settings->serial;
    if (!serial || !serial->used)
        return true;
    std::string why;
    job->numbered = take_serial_number(*serial, &job->serial_number, &why);
    if (!job->numbered) {
        job->result.outcome = OUTCOME_NO_SERIAL_NUMBER;
        job->result.message = why + "; nothing was written";
        return false;
    }
    patch_serial_number(*job->settings->image, *serial, job->serial_number, &job->numbered_image);
    job->image = &job->numbered_image;
    return true;
}

// The target has answered contact. A probe tells a bootloader from an
// application, which answers everything with an exception; a check asks its
// first part; an update numbers the board, then sends its first block.
static bool go_on_when_linked(board_job *job)
{
    update_link *link = job->link;
    uint8_t code = 0;
    if (job->settings->probe &&
        classify_reply(link->frame, link->len, &code, nullptr) == REPLY_EXCEPTION) {
        job->result.outcome = OUTCOME_NOT_IN_BOOTLOADER;
        return false;
    }
    if (job->settings->check) {
        if (aim_next_part(job))
            return true;
        job->result.outcome = OUTCOME_UPDATED; // the number's field is all the image holds
        return false;
    }
    if (!number_board(job))
        return false;
    aim(job, 0, padded_size(*job->image));
    // From the first block, as the engine's own start would: a watch's look
    // at the board may have re-sent its CRC question.
    link->offset = 0;
    link->block_length = MODBUS_PROG_BLOCKSIZE_MAX;
    link_enter(link, STATE_PROGRAM);
    return true;
}

// The end of a step, if it ended the job: true with the outcome set.
// `*reset_since` holds the tick the reset was first requested, once it was.
static bool step_ended_job(board_job *job, bool *resetting, uint32_t *reset_since)
{
    update_link *link = job->link;
    if (job->settings->interrupted->load()) {
        fail(job, OUTCOME_INTERRUPTED, "interrupted");
        return true;
    }
    if (link->state == STATE_DONE && !aim_next_part(job)) {
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
    update_link *link = job->link;
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
        if (link->state == STATE_LINKED) {
            if (!go_on_when_linked(job))
                return;
        } else {
            link_step(link);
        }
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
        // Contacting keeps the dialog's timing: each step re-sends the query;
        // a held link goes on at once.
        bool awaiting = link->state == STATE_PROGRAM || link->state == STATE_VERIFY ||
                        link->state == STATE_RESET;
        if (link->state != STATE_LINKED && (!awaiting || !reads_end_on_whole_replies()))
            sleep_ms(STEP_INTERVAL_MS);
    }
}

void prepare_link(update_link *link, std::vector<uint8_t> *frame, const std::string &port)
{
    frame->assign(MODBUS_FRAME_LENGTH_MAX, 0);
    *link = update_link{};
    link->port_name = port.c_str();
    link->handle = INVALID_PORT_HANDLE;
    link->baud = 115200;
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
    // A line cut short by the end still gets out whole.
    if (!job->partial_line.empty() || (writes_through(job) && job->line_open))
        emit_trace(job, "\n", 1);
    job_result &r = job->result;
    r.blocks_acknowledged = job->acknowledged;
    r.blocks_refused = (int32_t)job->refused.size();
    r.blocks_total = blocks_of(padded_size(*job->settings->image));
    r.seconds = (tick_count_ms() - started) / 1000.0;
    std::lock_guard<std::mutex> hold(job->mutex);
    job->snapshot.outcome = r.outcome;
}

void run_board_job(board_job *job, const job_settings *settings, update_link *link)
{
    job->settings = settings;
    job->link = link;
    job->image = settings->image;
    report_sink sink{job, job_trace, job_flush, job_status, job_event};
    report_route(&sink);
    uint32_t started = tick_count_ms();
    if (!settings->probe && !job->held_trace.empty())
        release_held_trace(job); // the look that found this board
    port_set_write_check(link->handle, keep_writing, job);
    link->check_only = settings->check;
    link->hold_when_linked = true;
    if (link->state == STATE_START) {
        aim(job, 0, padded_size(*job->image));
        status_printf("Contacting Device...");
    }
    step_link(job);
    trace_flush();
    finish_job(job, started);
    report_route(nullptr);
}

bool open_board_port(board_job *job, const job_settings *settings, update_link *link)
{
    job->settings = settings;
    job->link = link;
    report_sink sink{job, job_trace, job_flush, job_status, job_event};
    report_route(&sink); // the opening's own trace line is the port's
    bool opened = try_open_serial_port(link);
    if (!opened) {
        job->result.outcome = OUTCOME_OPEN_FAILED;
        job->result.message = open_failure_message(job->port, last_error_code());
        finish_job(job, tick_count_ms());
    }
    report_route(nullptr);
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
