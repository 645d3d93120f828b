// The termios settings of the update line, built apart from any descriptor so
// that they can be checked without a real serial device.
#pragma once

#include <cstdint>
#include <termios.h>

// The speed constant for `baud`, or B0 when the rate is not supported.
speed_t speed_for_baud(int32_t baud);

// Raw 8E1 at `baud` on top of `current`: no parity check on input, no
// character translation, no flow control, reads that return what is there.
// Returns false when `baud` is not supported; the speed of `current` is kept.
bool build_line_settings(const termios *current, int32_t baud, termios *settings);
