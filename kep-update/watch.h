// kep-update --watch: updates (or checks) every target plugged into a watched
// port, each on a thread of its own, until stopped.
#pragma once

#include "station_job.h"

#include <atomic>
#include <string>
#include <vector>

#define WATCH_SCAN_MS 100u

struct watch_settings {
    std::vector<std::string> patterns;
    bool skip_present; // ports present at the start are not updated
    bool terminal;     // live lines on standard error; else plain lines
    bool quiet;        // only errors on standard error
};

// Runs until `*stopping` (the first Ctrl-C): then takes no new boards and
// waits for the running ones, which the limits' interrupt flag (the second
// Ctrl-C) cuts short. Returns the highest exit status of the boards, 0 when
// there were none.
int run_watch(const watch_settings *settings, const station_context *context,
              const std::atomic<bool> *stopping);
