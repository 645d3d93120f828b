#include "port_job.h"

#include "frames.h"
#include "link_state_machine.h"
#include "system.h"
#include "open_serial_port.h"
#include "os_services.h"
#include "progress_display.h"
#include "serial/serial_port.h"

#include <cstdio>

#define EXCEPTION_REPLY_LENGTH 5
#define EXCEPTION_FLAG 0x80

static void write_trace(port_job *job, const std::string &line)
{
    if (job->display)
        display_print_line(job->display, line);
    else
        fwrite(line.data(), 1, line.size(), stdout);
}

// The trace goes to standard output whole lines at a time, so that the lines
// of several ports never mix within a line and a terminal's progress area is
// never drawn into one; one port without a terminal writes through as is.
static void job_trace(void *context, const char *text, int length)
{
    auto *job = static_cast<port_job *>(context);
    if (length > 0)
        job->line_open = text[length - 1] != '\n';
    if (job->prefix.empty() && !job->display) {
        fwrite(text, 1, (size_t)length, stdout);
        return;
    }
    job->partial_line.append(text, (size_t)length);
    size_t end;
    while ((end = job->partial_line.find('\n')) != std::string::npos) {
        write_trace(job, job->prefix + job->partial_line.substr(0, end + 1));
        job->partial_line.erase(0, end + 1);
    }
}

static void job_flush(void *context)
{
    auto *job = static_cast<port_job *>(context);
    if (job->prefix.empty() && !job->display)
        fflush(stdout);
}

static void job_status(void *context, const char *text)
{
    auto *job = static_cast<port_job *>(context);
    {
        std::lock_guard<std::mutex> hold(job->mutex);
        job->progress.status = text;
    }
    if (job->show_status_lines)
        fprintf(stderr, "%s%s\n", job->prefix.c_str(), text);
}

// Notes the blocks the target refuses with a Modbus exception; the engine
// takes such a reply as an answer like any other.
static void job_reply(void *context, const uint8_t *frame, int length)
{
    auto *job = static_cast<port_job *>(context);
    if (job->link.state != STATE_PROGRAM || length != EXCEPTION_REPLY_LENGTH ||
        !(frame[1] & EXCEPTION_FLAG) || crc16_modbus(frame, length - 2) != get_le16(frame + 3))
        return;
    int32_t block = job->link.offset / MODBUS_PROG_BLOCKSIZE_MAX + 1;
    if (job->refused.empty() || job->refused.back().block != block)
        job->refused.push_back({block, frame[2]});
}

// Asked while a write waits for the line: gives up on an interrupt, or when
// no valid reply has come for the time-out.
static bool keep_writing(void *context)
{
    auto *job = static_cast<port_job *>(context);
    if (job->limits->interrupted->load())
        return false;
    if (job->limits->timeout_ms &&
        tick_count_ms() - job->last_progress_ms > job->limits->timeout_ms) {
        job->write_stalled = true;
        return false;
    }
    return true;
}

static void note_progress(port_job *job)
{
    std::lock_guard<std::mutex> hold(job->mutex);
    job_progress &p = job->progress;
    if (job->link.state == STATE_PROGRAM && p.program_started_ms == 0)
        p.program_started_ms = tick_count_ms() | 1; // never 0 once started
    p.state = job->link.state;
    p.offset = job->link.offset;
}

static std::string where(const update_link *link)
{
    int32_t blocks = link->image_size / MODBUS_PROG_BLOCKSIZE_MAX;
    char text[200];
    switch (link->state) {
    case STATE_PROGRAM:
        snprintf(text, sizeof text, "while writing block %d of %d (%d of %d bytes acknowledged)",
                 (int)(link->offset / MODBUS_PROG_BLOCKSIZE_MAX + 1), (int)blocks,
                 (int)link->offset, (int)link->image_size);
        return text;
    case STATE_VERIFY: return "while verifying";
    case STATE_RESET: return "while resetting the target";
    default: return "while contacting the target";
    }
}

static const char *damage(const update_link *link)
{
    if (link->check_only) // nothing was written
        return "";
    if (link->state == STATE_PROGRAM || link->state == STATE_VERIFY)
        return "; the target holds an incomplete image: run the update again";
    return "";
}

static void fail(port_job *job, job_outcome outcome, const std::string &why, const char *hint = "")
{
    job->outcome = outcome;
    job->message = why + " " + where(&job->link) + damage(&job->link) + hint;
}

static const char *const check_hint =
    "; check the cable, the target's power, and that the target waits in its bootloader";

// The image is proven in the target once the CRCs matched: a reset that gets
// no answer (many targets drop off the line as they restart) is a warning.
static void reset_unconfirmed(port_job *job)
{
    job->outcome = JOB_RESET_UNCONFIRMED;
    job->message = "warning: the image is written and verified, but the target did not confirm "
                   "its reset; power-cycle the target if it stays in its bootloader";
}

static std::string refused_text(const port_job *job)
{
    if (job->refused.empty())
        return "";
    std::string text = job->refused.size() == 1 ? "; the target refused block "
                                                : "; the target "
                                                  "refused blocks ";
    for (size_t i = 0; i < job->refused.size(); i++) {
        char item[48];
        snprintf(item, sizeof item, "%s%d (exception 0x%02x)", i ? ", " : "",
                 (int)job->refused[i].block, (unsigned)job->refused[i].exception_code);
        text += item;
    }
    return text;
}

// The end of a step, if it ended the job: true with the outcome set.
// `*reset_since` holds the tick the reset was first requested, once it was.
static bool step_ended_job(port_job *job, bool *resetting, uint32_t *reset_since)
{
    update_link *link = &job->link;
    if (job->limits->interrupted->load()) {
        fail(job, JOB_INTERRUPTED, "interrupted");
        return true;
    }
    if (link->state == STATE_DONE) {
        job->outcome = JOB_UPDATED;
        return true;
    }
    if (link->state == STATE_FAILED) {
        job->outcome = JOB_VERIFY_FAILED;
        job->message = job->check_only
                           ? "DIFFERS: the target's CRC of the image's range differs from the image"
                           : "FAILED: the target's CRC of the written range differs from the image";
        return true;
    }
    long code = 0;
    bool lost = port_failed(link->handle, &code);
    uint32_t now = tick_count_ms();
    if (link->state == STATE_RESET) {
        if (!*resetting)
            *reset_since = now;
        *resetting = true;
        if (lost || job->write_stalled || now - *reset_since > RESET_CONFIRM_LIMIT_MS) {
            reset_unconfirmed(job);
            return true;
        }
    }
    if (job->write_stalled) {
        char why[120];
        snprintf(why, sizeof why,
                 "the target stopped taking data (the line takes no more, and no valid reply "
                 "for %g s)",
                 job->limits->timeout_ms / 1000.0);
        fail(job, JOB_STALLED, why, check_hint);
        return true;
    }
    if (lost) {
        char system_text[200];
        last_error_text(code, system_text, sizeof system_text);
        fail(job, JOB_PORT_LOST, std::string("the port stopped working (") + system_text + ")");
        return true;
    }
    return false;
}

// Steps until the link is done or failed, or a limit ends it.
static void step_link(port_job *job)
{
    update_link *link = &job->link;
    const job_limits *limits = job->limits;
    job->last_progress_ms = tick_count_ms();
    int32_t seen_state = link->state, seen_offset = link->offset;
    bool resetting = false;
    uint32_t reset_since = 0;
    for (;;) {
        if (limits->interrupted->load()) {
            fail(job, JOB_INTERRUPTED, "interrupted");
            return;
        }
        link_step(link);
        note_progress(job);
        if (step_ended_job(job, &resetting, &reset_since))
            return;
        uint32_t now = tick_count_ms();
        if (link->state != seen_state || link->offset != seen_offset) {
            seen_state = link->state;
            seen_offset = link->offset;
            job->last_progress_ms = now;
        } else if (limits->timeout_ms && link->state != STATE_RESET &&
                   now - job->last_progress_ms > limits->timeout_ms) {
            char why[64];
            snprintf(why, sizeof why, "timed out: no valid reply for %g s",
                     limits->timeout_ms / 1000.0);
            fail(job, JOB_TIMED_OUT, why, check_hint);
            return;
        }
        sleep_ms(STEP_INTERVAL_MS);
    }
}

static bool open_port(port_job *job)
{
    if (try_open_serial_port(&job->link)) {
        port_set_write_check(job->link.handle, keep_writing, job);
        return true;
    }
    job->outcome = JOB_OPEN_FAILED;
    job->message = open_failure_message(job->port_name, last_error_code());
    return false;
}

void run_port_job(port_job *job, uint8_t *image, int32_t image_size, const job_limits *limits)
{
    job->sink = {job, job_trace, job_flush, job_status, job_reply};
    job->limits = limits;
    report_route(&job->sink);
    job->started_ms = tick_count_ms();

    job->frame.assign(MODBUS_FRAME_LENGTH_MAX, 0);
    update_link *link = &job->link;
    link->port_name = job->port_name.c_str();
    link->handle = INVALID_PORT_HANDLE;
    link->baud = 115200;
    link->unit_address = UNIT_ADDRESS;
    link->capacity = MODBUS_FRAME_LENGTH_MAX;
    link->frame = job->frame.data();
    link->image = image;
    link->image_size = image_size;
    link->flash_base = FLASH_IMAGE_BASE;
    link->check_only = job->check_only;

    if (open_port(job)) {
        status_printf("Contacting Device...");
        step_link(job);
        port_close(link->handle);
        link->handle = INVALID_PORT_HANDLE;
    }
    job->message += refused_text(job);
    // A line cut short by the end still gets out whole.
    if (!job->partial_line.empty() || (job->prefix.empty() && !job->display && job->line_open))
        job_trace(job, "\n", 1);
    trace_flush();
    job->ended_ms = tick_count_ms();
    {
        std::lock_guard<std::mutex> hold(job->mutex);
        job->progress.outcome = job->outcome;
    }
    report_route(nullptr);
}

exit_status job_exit_status(const port_job *job)
{
    switch (job->outcome) {
    case JOB_UPDATED:
    case JOB_RESET_UNCONFIRMED: return EXIT_UPDATED;
    case JOB_VERIFY_FAILED: return EXIT_VERIFY_FAILED;
    case JOB_OPEN_FAILED: return EXIT_PORT_ERROR;
    case JOB_INTERRUPTED: return EXIT_INTERRUPTED;
    default: return EXIT_TIMED_OUT;
    }
}

const char *job_outcome_text(job_outcome outcome)
{
    switch (outcome) {
    case JOB_RUNNING: return "running";
    case JOB_UPDATED: return "updated";
    case JOB_RESET_UNCONFIRMED: return "updated, reset not confirmed";
    case JOB_VERIFY_FAILED: return "FAILED";
    case JOB_OPEN_FAILED: return "port not opened";
    case JOB_TIMED_OUT: return "timed out";
    case JOB_STALLED: return "stopped taking data";
    case JOB_PORT_LOST: return "port lost";
    case JOB_INTERRUPTED: return "interrupted";
    }
    return "unknown";
}
