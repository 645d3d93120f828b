// Runs kep-update as a child process with its output captured, as a script
// or a production line would.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct tool_run {
    int status = -1; // exit status, or -1 when it had to be killed
    std::string out; // standard output: the trace
    std::string err; // standard error: status texts and messages
    double seconds = 0;
};

struct tool_process {
    pid_t pid = -1;
    std::string out_path, err_path;
    double started_ms = 0;
};

// How kep-update is started beyond its arguments.
struct tool_setup {
    std::vector<std::string> runner; // a program put before it (setpriv ...); empty: none
    int terminal = -1; // a terminal for both standard output and error; -1: files in `dir`
};

// Starts kep-update with `arguments`; its output goes to files in `dir`.
bool tool_start(tool_process *tool, const std::vector<std::string> &arguments,
                const std::string &dir, const tool_setup &setup = {});

// Waits at most `limit_ms` for it to end (then kills it) and collects the output.
tool_run tool_finish(tool_process *tool, int limit_ms);

tool_run run_tool(const std::vector<std::string> &arguments, const std::string &dir,
                  int limit_ms = 30000, const tool_setup &setup = {});
