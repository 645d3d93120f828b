#include "throwaway_server.h"

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifndef THROWAWAY_POSTGRES
#error "THROWAWAY_POSTGRES must name scripts/throwaway-postgres"
#endif

extern char **environ;

static const int poll_ms = 20;

static std::string text_of_file(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

// Starts the script with `arguments`, its output appended to `log`, in a
// process group of its own that the kernel ends when this thread dies.
static pid_t start_script(const std::vector<std::string> &arguments, const std::string &log)
{
    std::vector<std::string> words = {THROWAWAY_POSTGRES};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (auto &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        int in = open("/dev/null", O_RDONLY);
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in < 0 || out < 0 || dup2(in, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0 ||
            dup2(out, STDERR_FILENO) < 0)
            _exit(127);
        execve(argv[0], argv.data(), environ);
        _exit(127);
    }
    if (pid > 0)
        setpgid(pid, pid); // also here: no race with a kill right after the start
    return pid;
}

// Waits up to `limit_ms` for `pid` to end; its wait status in `status`.
static bool reap(pid_t pid, int limit_ms, int *status)
{
    for (int waited = 0;; waited += poll_ms) {
        if (waitpid(pid, status, WNOHANG) == pid)
            return true;
        if (waited >= limit_ms)
            return false;
        usleep(poll_ms * 1000);
    }
}

static void kill_and_reap(pid_t pid)
{
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// Runs the script to its end (killed after `limit_ms`); true on status 0.
static bool run_script(const std::vector<std::string> &arguments, const std::string &log,
                       int limit_ms)
{
    pid_t pid = start_script(arguments, log);
    int status = 0;
    if (pid < 0)
        return false;
    if (!reap(pid, limit_ms, &status)) {
        kill_and_reap(pid);
        return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool server_start(throwaway_server *s, const std::string &dir, int port, int limit_ms)
{
    if (s->pid > 0)
        return false;
    s->dir = dir;
    mkdir(dir.c_str(), 0755); // for the log; the script makes the rest
    std::vector<std::string> arguments = {dir};
    if (port > 0)
        arguments.push_back(std::to_string(port));
    s->pid = start_script(arguments, dir + "/server.log");
    if (s->pid < 0)
        return false;
    // The script becomes the postmaster, so it cannot say when it is ready;
    // its --wait can, a second at a time, while we watch that it still runs.
    for (int waited = 0; waited < limit_ms; waited += 1000) {
        int status = 0;
        if (waitpid(s->pid, &status, WNOHANG) == s->pid) {
            s->pid = -1;
            return false;
        }
        if (run_script({"--wait", dir, "1"}, dir + "/wait.log", 5000)) {
            s->connection = text_of_file(dir + "/connection");
            while (!s->connection.empty() && s->connection.back() == '\n')
                s->connection.pop_back();
            s->port = std::atoi(text_of_file(dir + "/port").c_str());
            return s->port > 0 && !s->connection.empty();
        }
    }
    return false;
}

bool server_stop(throwaway_server *s, int signal)
{
    if (s->pid <= 0)
        return false;
    kill(s->pid, signal);
    int status = 0;
    bool ended = reap(s->pid, 30000, &status);
    if (!ended)
        kill_and_reap(s->pid);
    s->pid = -1;
    return ended;
}

bool server_sql(const throwaway_server &s, const std::string &sql, std::string *rows)
{
    std::string out = s.dir + "/psql.out";
    unlink(out.c_str());
    bool ok = run_script({"--psql", s.dir, sql}, out, 30000);
    if (rows)
        *rows = text_of_file(out);
    return ok;
}

throwaway_server::~throwaway_server()
{
    if (pid > 0)
        server_stop(this, SIGQUIT);
}
