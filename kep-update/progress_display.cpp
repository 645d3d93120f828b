#include "progress_display.h"

#include "os_services.h"

#include <cstdio>

static std::string format_seconds(double seconds)
{
    char text[32];
    int whole = (int)(seconds + 0.5);
    snprintf(text, sizeof text, "%d:%02d", whole / 60, whole % 60);
    return text;
}

std::string progress_line(port_job *job, int32_t image_size, uint32_t now, int width)
{
    job_progress p;
    {
        std::lock_guard<std::mutex> hold(job->mutex);
        p = job->progress;
    }
    std::string line = job->prefix + p.status;
    if (p.state == STATE_PROGRAM && image_size > 0) {
        const int bar_width = 24;
        int filled = (int)((int64_t)p.offset * bar_width / image_size);
        double seconds = p.program_started_ms ? (now - p.program_started_ms) / 1000.0 : 0;
        double rate = seconds > 0 ? p.offset / seconds : 0;
        char text[160];
        snprintf(text, sizeof text, "  [%s%s] %d/%d bytes %3d%%  %.1f KiB/s  %s left",
                 std::string((size_t)filled, '#').c_str(),
                 std::string((size_t)(bar_width - filled), '.').c_str(), (int)p.offset,
                 (int)image_size, (int)((int64_t)p.offset * 100 / image_size), rate / 1024,
                 rate > 0 ? format_seconds((image_size - p.offset) / rate).c_str() : "-:--");
        line += text;
    }
    if ((int)line.size() > width)
        line.resize((size_t)width);
    return line;
}

static void draw(progress_display *display, int32_t image_size)
{
    // Back to the start of the first line drawn last time ("\033[0A" would
    // still move one line up on some terminals).
    std::string out = "\r";
    if (display->lines_drawn > 1)
        out.append("\033[").append(std::to_string(display->lines_drawn - 1)).append("A");
    uint32_t now = tick_count_ms();
    for (size_t i = 0; i < display->jobs.size(); i++) {
        out += "\033[K" + progress_line(display->jobs[i], image_size, now, 119);
        if (i + 1 < display->jobs.size())
            out += "\n";
    }
    display->lines_drawn = (int)display->jobs.size();
    fputs(out.c_str(), stderr);
    fflush(stderr);
}

void display_refresh(progress_display *display, int32_t image_size) { draw(display, image_size); }

void display_finish(progress_display *display, int32_t image_size)
{
    draw(display, image_size);
    fputs("\n", stderr);
}
