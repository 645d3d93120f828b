#include "tool_process.h"

#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

static double monotonic_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec * 1000.0 + (double)now.tv_nsec / 1e6;
}

static std::string slurp(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

bool tool_start(tool_process *tool, const std::vector<std::string> &arguments,
                const std::string &dir, const tool_setup &setup)
{
    static int runs = 0;
    std::string stem = dir + "/kep-update." + std::to_string(runs++);
    tool->out_path = stem + ".out";
    tool->err_path = stem + ".err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, tool->out_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, tool->err_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (setup.terminal >= 0) {
        posix_spawn_file_actions_adddup2(&actions, setup.terminal, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, setup.terminal, STDERR_FILENO);
    }
    std::vector<std::string> copies = setup.runner;
    copies.push_back(KEP_UPDATE_PATH);
    copies.insert(copies.end(), arguments.begin(), arguments.end());
    std::string program = copies.front();
    std::vector<char *> argv;
    for (auto &argument : copies)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    tool->started_ms = monotonic_ms();
    int spawned = posix_spawn(&tool->pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0;
}

tool_run tool_finish(tool_process *tool, int limit_ms)
{
    tool_run run;
    double deadline = monotonic_ms() + limit_ms;
    int status = 0;
    pid_t done;
    while ((done = waitpid(tool->pid, &status, WNOHANG)) == 0 && monotonic_ms() < deadline)
        usleep(5000);
    if (done == 0) {
        kill(tool->pid, SIGKILL);
        waitpid(tool->pid, &status, 0);
    } else if (WIFEXITED(status)) {
        run.status = WEXITSTATUS(status);
    }
    tool->pid = -1; // reaped: the number may belong to another process now
    run.seconds = (monotonic_ms() - tool->started_ms) / 1000.0;
    run.out = slurp(tool->out_path);
    run.err = slurp(tool->err_path);
    return run;
}

tool_run run_tool(const std::vector<std::string> &arguments, const std::string &dir, int limit_ms,
                  const tool_setup &setup)
{
    tool_process tool;
    if (!tool_start(&tool, arguments, dir, setup))
        return {};
    return tool_finish(&tool, limit_ms);
}
