// The one monotonic clock of the POSIX programs: the engine's tick counter,
// the serial read and write limits and the simulated target all read it.
#pragma once

#include <cstdint>

// Nanoseconds since an arbitrary start; never goes back.
int64_t monotonic_ns();
