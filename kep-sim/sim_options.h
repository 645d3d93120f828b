// The command line of kep-sim.
#pragma once

#include "fault_switches.h"
#include "target_model.h"

#include <cstdint>
#include <string>
#include <vector>

struct sim_options {
    std::string link_path;        // where the slave's path is published; empty: none
    std::string dump_path;        // where the written flash goes on reset; empty: nowhere
    std::string load_path;        // flash content from 0x08000800 at start; empty: erased
    std::string remove_dump_path; // a fixture's board: its whole flash goes here when taken off
    int32_t baud;                 // pacing of both directions; 0: off
    int32_t flash_ms;             // programming time per block
    bool serve_forever;           // after a reset, serve again instead of exiting
    std::string control_path;     // fixture commands, one a line, polled; empty: none
    after_reset_mode after_reset; // what the board runs after a reset it answered
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

enum control_kind {
    CONTROL_NONE = 0,   // a blank line or a # comment
    CONTROL_INSERT = 1, // a new blank board in its bootloader
    CONTROL_REMOVE = 2, // the board is taken off: the line falls silent
    CONTROL_BAD = 3,    // not a command; a message is on standard error
};

struct control_command {
    control_kind kind;
    sim_options board; // for an insert: its switches, flash and after-reset mode
};

// One line of the --control file: "insert", "insert SWITCHES" (a board with
// these kep-sim switches instead of the command line's), or "remove".
control_command parse_control_line(const std::string &line, const sim_options &command_line);
