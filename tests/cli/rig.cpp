#include "rig.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

// Children still running, by process group: a test that fails or throws
// before it finishes one leaves it here, and TearDown ends it.
static std::set<pid_t> running;

bool child_start(child *c, const std::string &program, const std::vector<std::string> &arguments,
                 const std::string &stem, const std::vector<std::string> &runner, int terminal)
{
    c->out_path = stem + ".out";
    c->err_path = stem + ".err";
    std::vector<std::string> words = runner;
    words.push_back(program);
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (auto &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t parent = getpid();
    c->pid = fork();
    if (c->pid == 0) {
        // Its own group, so that ending it ends whatever it started; and if
        // this test process dies first (a crash, ctest's time-out), the
        // kernel ends it.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        int in = open("/dev/null", O_RDONLY);
        int out = open(c->out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(c->err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || dup2(in, STDIN_FILENO) < 0 ||
            dup2(terminal >= 0 ? terminal : out, STDOUT_FILENO) < 0 ||
            dup2(terminal >= 0 ? terminal : err, STDERR_FILENO) < 0)
            _exit(127);
        execve(argv[0], argv.data(), environ);
        _exit(127);
    }
    if (c->pid < 0)
        return false;
    setpgid(c->pid, c->pid); // also here: no race with a kill right after the start
    running.insert(c->pid);
    return true;
}

child_run child_finish(child *c, clock_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    int status = -1;
    if (c->pid > 0 && !wait_until([&] { return waitpid(c->pid, &status, WNOHANG) != 0; },
                                     (int)std::max<int64_t>(0, left.count()))) {
        kill(-c->pid, SIGKILL);
        waitpid(c->pid, &status, 0);
    }
    running.erase(c->pid);
    child_run run{c->pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                  text_of(c->out_path), text_of(c->err_path)};
    c->pid = -1; // reaped: the number may belong to another process now
    return run;
}

std::string text_of(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

bool wait_until(const std::function<bool()> &done, int limit_ms)
{
    for (int waited = 0; !done(); waited += 20) {
        if (waited >= limit_ms)
            return false;
        usleep(20 * 1000);
    }
    return true;
}

bool wait_for(const std::string &path, const std::string &text, int limit_ms)
{
    return wait_until([&] { return text_of(path).find(text) != std::string::npos; }, limit_ms);
}

void rig::SetUp()
{
    dir = (std::filesystem::temp_directory_path() / "kep-test-XXXXXX").string();
    ASSERT_TRUE(mkdtemp(dir.data()));
    std::filesystem::create_directory(dir + "/rig"); // the links only
    small_image = dir + "/small.bin";
    std::ofstream image(small_image, std::ios::binary);
    std::string bytes;
    for (int i = 0; i < 3000; i++)
        bytes += (char)(i * 31 + 7);
    image << bytes;
    numbered = dir + "/numbered.bin";
    std::ofstream(numbered, std::ios::binary) << bytes.replace(100, 4, 4, '\xff');
}

void rig::TearDown()
{
    child_finish(&tool, {});
    for (auto &sim : sims)
        child_finish(&sim, {}); // those that were not reset are still serving
    for (pid_t pid : running) { // those a failed check left in a test's own records
        kill(-pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    running.clear();
    std::filesystem::remove_all(dir);
}

std::string rig::start_sim(const std::string &name, const std::vector<std::string> &options)
{
    std::string link = dir + "/rig/" + name;
    std::vector<std::string> args = {"--link", link};
    if (std::ranges::find(options, "--dump") == options.end()) // a test may ask for none: ""
        args.insert(args.end(), {"--dump", dir + "/" + name + ".flash"});
    args.insert(args.end(), options.begin(), options.end());
    child &sim = sims.emplace_back();
    EXPECT_TRUE(child_start(&sim, KEP_SIM_PATH, args, dir + "/" + name) &&
                wait_for(sim.out_path, "ready on", 5000))
        << "kep-sim did not start";
    return link;
}

std::string rig::fixture(const std::string &name, const std::string &first,
                         std::vector<std::string> options)
{
    std::ofstream(dir + "/" + name + ".ctl") << first << "\n";
    options.insert(options.begin(), {"--control", dir + "/" + name + ".ctl"});
    return start_sim(name, options);
}

void rig::command(const std::string &name, const std::string &lines)
{
    std::ofstream(dir + "/" + name + ".ctl", std::ios::app) << lines;
}

bool rig::start_tool(child *started, const std::vector<std::string> &arguments,
                     const std::vector<std::string> &runner, int terminal)
{
    static int runs = 0;
    return child_start(started, KEP_UPDATE_PATH, arguments,
                       dir + "/kep-update." + std::to_string(runs++), runner, terminal);
}

child_run rig::run_tool(const std::vector<std::string> &arguments,
                        const std::vector<std::string> &runner)
{
    child run;
    start_tool(&run, arguments, runner);
    return child_finish(&run, in_ms(30000));
}

bool rig::flash_holds(const std::string &name, const std::string &image)
{
    std::string bytes = text_of(image);
    bytes.resize((bytes.size() + 1023) / 1024 * 1024, '\0');
    return text_of(dir + "/" + name + ".flash").compare(0, bytes.size(), bytes) == 0;
}

uint32_t rig::number_in(const std::string &name)
{
    std::string flash = text_of(dir + "/" + name + ".flash");
    uint32_t number = 0;
    for (int i = 3; i >= 0 && flash.size() > 103; i--)
        number = number * 256 + (uint8_t)flash[100 + (size_t)i];
    return number;
}

bool rig::sh(const std::string &command)
{
    return system(("cd " + dir + " && " + command + " >/dev/null").c_str()) == 0;
}

void expect_in_order(const std::string &text, const std::vector<std::string> &lines)
{
    size_t at = 0;
    for (const auto &line : lines) {
        size_t found = text.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing, or out of order: " << line << "\nin:\n"
                                            << text;
        at = found + line.size();
    }
}
