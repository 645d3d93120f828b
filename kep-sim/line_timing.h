// Wire time on an 8E1 line: start bit, 8 data bits, parity, stop bit.
#pragma once

#include <cstdint>

#define BITS_PER_CHARACTER 11
// Modbus RTU fixes the end-of-frame silence above 19200 baud at 1.75 ms.
#define FRAME_SILENCE_FLOOR_US 1750

// Microseconds that `count` characters take at `baud`; 0 when `baud` is 0
// (pacing off).
int64_t wire_time_us(int64_t count, int32_t baud);

// The silence of 3.5 character times that ends a frame, never below the floor.
int64_t frame_silence_us(int32_t baud);
