// Runs kep-sim as a child process, the way a user would, for whole updates.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct sim_process {
    pid_t pid = -1;
    int stdout_pipe = -1;
    std::string ready_line;
    std::string log_path; // set before sim_start: its log (standard error) goes there
};

// Starts kep-sim with `arguments` and waits, at most `limit_ms`, for its
// ready line. False when it did not come (the child is then stopped).
bool sim_start(sim_process *sim, const std::vector<std::string> &arguments, int limit_ms);

// Waits at most `limit_ms` for the child to exit and returns its exit status;
// -1 when it had to be killed or did not exit normally.
int sim_wait(sim_process *sim, int limit_ms);

// A fresh directory under the system's temporary directory.
std::string make_temp_dir();
void remove_temp_dir(const std::string &path);

std::vector<uint8_t> read_file_bytes(const std::string &path);
