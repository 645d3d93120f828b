#include "port_job.h"

#include "link_state_machine.h"
#include "open_serial_port.h"
#include "os_services.h"
#include "serial/serial_port.h"

#include <cstdio>

// The trace goes to standard output whole lines at a time, so that the lines
// of several ports never mix within a line; one port writes through as is.
static void job_trace(void *context, const char *text, int length)
{
    auto *job = static_cast<port_job *>(context);
    if (job->prefix.empty()) {
        fwrite(text, 1, (size_t)length, stdout);
        return;
    }
    job->partial_line.append(text, (size_t)length);
    size_t end;
    while ((end = job->partial_line.find('\n')) != std::string::npos) {
        std::string line = job->prefix + job->partial_line.substr(0, end + 1);
        fwrite(line.data(), 1, line.size(), stdout);
        job->partial_line.erase(0, end + 1);
    }
}

static void job_flush(void *context)
{
    if (static_cast<port_job *>(context)->prefix.empty())
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
    if (link->state == STATE_PROGRAM)
        snprintf(text, sizeof text, "while writing block %d of %d (%d of %d bytes acknowledged)",
                 (int)(link->offset / MODBUS_PROG_BLOCKSIZE_MAX + 1), (int)blocks,
                 (int)link->offset, (int)link->image_size);
    else
        snprintf(text, sizeof text, "in %s (%d of %d bytes acknowledged)",
                 link_state_name(link->state), (int)link->offset, (int)link->image_size);
    return text;
}

static const char *damage(const update_link *link)
{
    if (link->check_only) // nothing was written
        return "";
    if (link->state == STATE_PROGRAM || link->state == STATE_VERIFY)
        return "; the target holds an incomplete image: run the update again";
    return "";
}

static void fail(port_job *job, job_outcome outcome, const std::string &why)
{
    job->outcome = outcome;
    job->message = why + " " + where(&job->link) + damage(&job->link);
}

static bool open_port(port_job *job)
{
    if (try_open_serial_port(&job->link))
        return true;
    char message[FATAL_MESSAGE_SIZE];
    compose_fatal_report(message, sizeof message,
                         "Unable to open serial port. In use already, or not present");
    job->outcome = JOB_OPEN_FAILED;
    job->message = message;
    return false;
}

// Steps until the link is done or failed, or a limit ends it.
static void step_link(port_job *job, const job_limits *limits)
{
    update_link *link = &job->link;
    uint32_t last_progress = tick_count_ms();
    int32_t seen_state = link->state, seen_offset = link->offset;
    for (;;) {
        if (limits->interrupted->load()) {
            fail(job, JOB_INTERRUPTED, "interrupted");
            return;
        }
        link_step(link);
        note_progress(job);
        if (link->state == STATE_DONE) {
            job->outcome = JOB_UPDATED;
            return;
        }
        if (link->state == STATE_FAILED) {
            job->outcome = JOB_VERIFY_FAILED;
            job->message =
                job->check_only
                    ? "DIFFERS: the target's CRC of the image's range differs from the image"
                    : "FAILED: the target's CRC of the written range differs from the image";
            return;
        }
        long code = 0;
        if (port_failed(link->handle, &code)) {
            char system_text[200];
            last_error_text(code, system_text, sizeof system_text);
            fail(job, JOB_PORT_LOST, std::string("the port stopped working (") + system_text + ")");
            return;
        }
        uint32_t now = tick_count_ms();
        if (link->state != seen_state || link->offset != seen_offset) {
            seen_state = link->state;
            seen_offset = link->offset;
            last_progress = now;
        } else if (limits->timeout_ms && now - last_progress > limits->timeout_ms) {
            char why[64];
            snprintf(why, sizeof why, "timed out: no valid reply for %g s",
                     limits->timeout_ms / 1000.0);
            fail(job, JOB_TIMED_OUT, why);
            return;
        }
        sleep_ms(STEP_INTERVAL_MS);
    }
}

void run_port_job(port_job *job, uint8_t *image, int32_t image_size, const job_limits *limits)
{
    job->sink = {job, job_trace, job_flush, job_status};
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
        step_link(job, limits);
        port_close(link->handle);
        link->handle = INVALID_PORT_HANDLE;
    }
    if (!job->partial_line.empty())
        job_trace(job, "\n", 1); // a line cut short by the end still gets out whole
    trace_flush();
    job->ended_ms = tick_count_ms();
    report_route(nullptr);
}

exit_status job_exit_status(const port_job *job)
{
    switch (job->outcome) {
    case JOB_UPDATED: return EXIT_UPDATED;
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
    case JOB_VERIFY_FAILED: return "FAILED";
    case JOB_OPEN_FAILED: return "port not opened";
    case JOB_TIMED_OUT: return "timed out";
    case JOB_PORT_LOST: return "port lost";
    case JOB_INTERRUPTED: return "interrupted";
    }
    return "unknown";
}
