#include "sim_process.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

static double monotonic_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec * 1000.0 + (double)now.tv_nsec / 1e6;
}

bool sim_start(sim_process *sim, const std::vector<std::string> &arguments, int limit_ms)
{
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
    posix_spawn_file_actions_addclose(&actions, pipe_ends[1]);
    if (!sim->log_path.empty())
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, sim->log_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char *> argv;
    std::string program = KEP_SIM_PATH;
    argv.push_back(program.data());
    std::vector<std::string> copies = arguments;
    for (std::string &argument : copies)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    int spawned = posix_spawn(&sim->pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_ends[1]);
    sim->stdout_pipe = pipe_ends[0];
    if (spawned != 0) {
        sim->pid = -1;
        return false;
    }
    double deadline = monotonic_ms() + limit_ms;
    while (sim->ready_line.find('\n') == std::string::npos) {
        int left = (int)(deadline - monotonic_ms());
        pollfd output{sim->stdout_pipe, POLLIN, 0};
        if (left <= 0 || poll(&output, 1, left) <= 0)
            break;
        char c;
        if (read(sim->stdout_pipe, &c, 1) != 1)
            break;
        sim->ready_line += c;
    }
    if (sim->ready_line.rfind("kep-sim: ready on ", 0) == 0 && sim->ready_line.back() == '\n')
        return true;
    sim_wait(sim, 0);
    return false;
}

int sim_wait(sim_process *sim, int limit_ms)
{
    if (sim->pid < 0)
        return -1;
    double deadline = monotonic_ms() + limit_ms;
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(sim->pid, &status, WNOHANG)) == 0 && monotonic_ms() < deadline)
        usleep(5000);
    if (done == 0) {
        kill(sim->pid, SIGKILL);
        waitpid(sim->pid, &status, 0);
        status = -1;
    }
    sim->pid = -1;
    if (sim->stdout_pipe >= 0)
        close(sim->stdout_pipe);
    sim->stdout_pipe = -1;
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string make_temp_dir()
{
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kep-sim-test-XXXXXX";
    if (!mkdtemp(pattern.data()))
        return "";
    return pattern;
}

void remove_temp_dir(const std::string &path)
{
    if (DIR *dir = opendir(path.c_str())) {
        while (dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..")
                unlink((path + "/" + name).c_str());
        }
        closedir(dir);
    }
    rmdir(path.c_str());
}

std::vector<uint8_t> read_file_bytes(const std::string &path)
{
    std::vector<uint8_t> bytes;
    FILE *file = fopen(path.c_str(), "rb");
    if (!file)
        return bytes;
    uint8_t chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    fclose(file);
    return bytes;
}
