// The command line of kep-sim.
#pragma once

#include "fault_switches.h"

#include <cstdint>
#include <string>
#include <vector>

struct sim_options {
    std::string link_path;        // where the slave's path is published; empty: none
    std::string dump_path;        // where the written flash goes on reset; empty: nowhere
    std::string load_path;        // flash content from 0x08000800 at start; empty: erased
    int32_t baud;                 // pacing of both directions; 0: off
    int32_t flash_ms;             // programming time per block
    bool serve_forever;           // after a reset, serve again instead of exiting
    std::vector<uint8_t> preload; // the --load file's bytes
    fault_switches faults;
    // Timing of a real line, to measure the tool against.
    int32_t reply_jitter_ms; // a random 0 to this many ms more before each reply
    uint32_t jitter_seed;    // of that randomness; 0: taken from the clock
    int32_t chunk_ms;        // bytes reach the tool only every this many ms; 0: at once
};

#define SIM_OPTIONS_OK (-1)

// Fills `options` from the command line. Returns SIM_OPTIONS_OK to go on, or
// the exit status to end with: 0 after --help, 2 after a bad option (the
// message is already on standard error).
int parse_sim_options(int argc, const char *const *argv, sim_options *options);
