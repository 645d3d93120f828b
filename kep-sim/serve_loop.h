// The simulator's I/O loop: reads requests from the pseudo-terminal as they
// would arrive over a real line, lets the target model answer, and sends the
// replies at line rate.
#pragma once

#include "pty_endpoint.h"
#include "sim_options.h"

#include <csignal>

// Serves until a reset (unless it serves on), a hang-up fault (not in a
// fixture, whose line stays), or a signal in `*stop`. Signals are delivered only while the loop
// waits, with `wait_mask` in force. Returns the exit status.
int serve(const sim_options *options, pty_endpoint *endpoint, const volatile sig_atomic_t *stop,
          const sigset_t *wait_mask);
