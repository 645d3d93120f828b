#include "progress_display.h"

#include "os_services.h"

#include <cstdio>

#define BAR_WIDTH 24

static std::string format_seconds(double seconds)
{
    char text[32];
    int whole = (int)(seconds + 0.5);
    snprintf(text, sizeof text, "%d:%02d", whole / 60, whole % 60);
    return text;
}

// Steps done of `blocks` + 2: each block, then the verify, then the reset.
static int32_t steps_done(const job_progress &p, int32_t blocks)
{
    if (p.outcome == JOB_UPDATED || p.outcome == JOB_RESET_UNCONFIRMED || p.state == STATE_DONE)
        return blocks + 2;
    switch (p.state) {
    case STATE_PROGRAM: return p.offset / MODBUS_PROG_BLOCKSIZE_MAX;
    case STATE_VERIFY:
    case STATE_FAILED: return blocks;
    case STATE_RESET: return blocks + 1;
    default: return 0;
    }
}

std::string progress_line(port_job *job, int32_t image_size, uint32_t now, int width)
{
    job_progress p;
    {
        std::lock_guard<std::mutex> hold(job->mutex);
        p = job->progress;
    }
    std::string line = job->prefix;
    int32_t blocks = image_size / MODBUS_PROG_BLOCKSIZE_MAX;
    if (blocks > 0 && p.state >= STATE_PROGRAM) {
        int32_t done = steps_done(p, blocks), total = blocks + 2;
        int filled = (int)((int64_t)done * BAR_WIDTH / total);
        char text[80];
        snprintf(text, sizeof text, "[%s%s] %3d%%  ", std::string((size_t)filled, '#').c_str(),
                 std::string((size_t)(BAR_WIDTH - filled), '.').c_str(),
                 (int)((int64_t)done * 100 / total));
        line += text;
    }
    line += p.outcome == JOB_RUNNING ? p.status : job_outcome_text(p.outcome);
    if (p.outcome == JOB_RUNNING && p.state == STATE_PROGRAM && image_size > 0) {
        double seconds = p.program_started_ms ? (now - p.program_started_ms) / 1000.0 : 0;
        double rate = seconds > 0 ? p.offset / seconds : 0;
        char text[80];
        snprintf(text, sizeof text, "  %.1f KiB/s  %s left", rate / 1024,
                 rate > 0 ? format_seconds((image_size - p.offset) / rate).c_str() : "-:--");
        line += text;
    }
    if ((int)line.size() > width)
        line.resize((size_t)width);
    return line;
}

// Back to the start of the first line drawn, and everything below it cleared.
static void clear_area(progress_display *display)
{
    std::string out = "\r";
    if (display->lines_drawn > 1)
        out.append("\033[").append(std::to_string(display->lines_drawn - 1)).append("A");
    out += "\033[J";
    fputs(out.c_str(), stderr);
    display->lines_drawn = 0;
}

// Called with the lock held; the cursor stays at the end of the last line.
static void draw(progress_display *display)
{
    clear_area(display);
    std::string out;
    uint32_t now = tick_count_ms();
    for (size_t i = 0; i < display->jobs.size(); i++) {
        out += progress_line(display->jobs[i], display->image_size, now, display->width);
        if (i + 1 < display->jobs.size())
            out += "\n";
    }
    display->lines_drawn = (int)display->jobs.size();
    fputs(out.c_str(), stderr);
    fflush(stderr);
}

void display_print_line(progress_display *display, const std::string &line)
{
    std::lock_guard<std::mutex> hold(display->lock);
    if (display->lines_drawn > 0) {
        clear_area(display);
        fflush(stderr);
    }
    fwrite(line.data(), 1, line.size(), stdout);
    fflush(stdout);
    draw(display);
}

void display_refresh(progress_display *display)
{
    std::lock_guard<std::mutex> hold(display->lock);
    draw(display);
}

void display_finish(progress_display *display)
{
    std::lock_guard<std::mutex> hold(display->lock);
    draw(display);
    fputs("\n", stderr);
    fflush(stderr);
}
