// The simulator's log on standard error, one "kep-sim: " line per event.
#pragma once

void sim_log(const char *format, ...) __attribute__((format(printf, 1, 2)));
