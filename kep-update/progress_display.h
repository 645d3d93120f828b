// Status and progress of the running jobs on standard error: on a terminal one
// line per port, redrawn in place, with a bar while blocks are written.
#pragma once

#include "port_job.h"

#include <cstdint>
#include <string>
#include <vector>

struct progress_display {
    std::vector<port_job *> jobs;
    int lines_drawn = 0;
};

// The line shown for one job at tick `now`, `width` columns at most.
std::string progress_line(port_job *job, int32_t image_size, uint32_t now, int width);

// Redraws every job's line in place.
void display_refresh(progress_display *display, int32_t image_size);

// Leaves the last drawing on screen and moves below it.
void display_finish(progress_display *display, int32_t image_size);
