// Status and progress of the running jobs on standard error, on a terminal:
// one line per port, redrawn in place, below the trace lines when the trace
// shares the terminal.
#pragma once

#include "port_job.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct progress_display {
    std::vector<port_job *> jobs;
    int32_t image_size = 0;
    int width = 79; // columns a line may take; a wrapped line would break the redraw
    int lines_drawn = 0;
    std::mutex lock; // one writer on the terminal at a time
};

// The line shown for one job at tick `now`, `width` columns at most: the bar
// covers writing, then verifying and resetting, and ends at 100 % with the
// outcome.
std::string progress_line(port_job *job, int32_t image_size, uint32_t now, int width);

// Prints one whole trace line on standard output above the progress area.
void display_print_line(progress_display *display, const std::string &line);

// Redraws every job's line in place.
void display_refresh(progress_display *display);

// Leaves the last drawing on screen and moves below it.
void display_finish(progress_display *display);
