// The live area's line for one target, as text: pure, so that every width
// can be tried without a terminal.
#pragma once

#include "board_job.h"

#include <cstdint>
#include <string>

// "/dev/ttyUSB0: [########........] 40%  programming 0x8002800  11.2 KiB/s  0:02 left"
// in at most `width` columns. On a narrow terminal the rate goes first, then
// the bar shrinks and goes, then the percentage, then the port's folder, so
// that the status or outcome stays readable down to 20 columns. `label` (the
// port) may be empty; `now` is the tick the rate is measured at.
std::string progress_line(const std::string &label, const job_snapshot &snapshot,
                          int32_t blocks_total, bool check, uint32_t now, int width);
