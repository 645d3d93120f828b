// POSIX: the terminal, the standard streams, durable appends, port globs, the
// USB device from sysfs, and why a port did not open (with the group that owns
// the device and the programs that hold it, found through /proc).
#include "system.h"

#include "serial/port_list.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <glob.h>
#include <grp.h>
#include <set>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

// File names and arguments are bytes here; UTF-8 by the system's custom.
std::vector<std::string> program_arguments(int argc, char **argv) { return {argv, argv + argc}; }

FILE *open_file(const std::string &path, const char *mode) { return fopen(path.c_str(), mode); }

const help_texts &system_help_texts()
{
    static const help_texts texts = {
        "/dev/ttyUSB0",
        "a glob such as '/dev/serial/by-id/usb-FTDI*'; default: the USB serial ports "
        "/dev/ttyUSB* and /dev/ttyACM*",
        "Ctrl-C, SIGTERM, or the terminal closed",
        "Examples:\n"
        "  kep-update --port /dev/ttyUSB0 --image build/app.hex\n"
        "  kep-update --watch --report /var/lib/kep/station.jsonl",
    };
    return texts;
}

void guard_standard_streams()
{
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (null >= 0 && null != fd) { // the lowest free number: fd itself, unless a race
                dup2(null, fd);
                close(null);
            }
        }
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN); // a file size limit fails the report's write, as a full disk does
}

void catch_stop_signals(void (*handler)(int))
{
    struct sigaction action {
    };
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal_number, &action, nullptr);
}

bool stderr_is_live_terminal() { return isatty(STDERR_FILENO); }
bool stdout_is_terminal() { return isatty(STDOUT_FILENO); }

int terminal_columns(int fallback)
{
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0)
        return fallback;
    return size.ws_col;
}

bool record_file_open(record_file *file, const std::string &path, std::string *error)
{
    file->fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (file->fd < 0)
        *error = "cannot open the report " + path + " for appending: " + strerror(errno);
    return file->fd >= 0;
}

bool record_file_append(record_file *file, const std::string &line, std::string *error)
{
    off_t before = lseek(file->fd, 0, SEEK_END);
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = write(file->fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = strerror(n < 0 ? errno : ENOSPC);
            break;
        }
        done += (size_t)n;
    }
    if (done == line.size() && fsync(file->fd) == 0)
        return true;
    if (done == line.size())
        *error = strerror(errno);
    if (before >= 0 && ftruncate(file->fd, before) == 0)
        fsync(file->fd);
    return false;
}

void record_file_close(record_file *file)
{
    if (file->fd >= 0)
        close(file->fd);
    file->fd = -1;
}

std::string host_name()
{
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0)
        return "";
    return name;
}

std::string station_state_folder()
{
    const char *state = getenv("XDG_STATE_HOME"), *home = getenv("HOME");
    std::string base = state && *state ? state : home && *home ? std::string(home) + "/.local/state" : "";
    if (base.empty())
        return "";
    std::error_code code;
    std::filesystem::create_directories(base + "/kep-update", code);
    return code ? "" : base + "/kep-update";
}

std::vector<std::string> default_port_patterns() { return {"/dev/ttyUSB*", "/dev/ttyACM*"}; }

// A match is present when it leads to a file, so a link left behind by a
// vanished device does not count.
std::vector<std::string> matching_ports(const std::vector<std::string> &patterns)
{
    std::set<std::string> found;
    for (const auto &pattern : patterns) {
        glob_t matches{};
        if (glob(pattern.c_str(), 0, nullptr, &matches) == 0)
            for (size_t i = 0; i < matches.gl_pathc; i++) {
                struct stat target {
                };
                if (stat(matches.gl_pathv[i], &target) == 0)
                    found.insert(matches.gl_pathv[i]);
            }
        globfree(&matches);
    }
    return {found.begin(), found.end()};
}

static std::string resolved(const std::string &path)
{
    char target[PATH_MAX];
    return realpath(path.c_str(), target) ? target : "";
}

static std::string base_name(const std::string &path) { return path.substr(path.rfind('/') + 1); }

static bool is_usb_tty(const std::string &name)
{
    return name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0;
}

usb_identity port_usb_identity(const std::string &port)
{
    const char *root = getenv("KEP_UPDATE_SYSFS");
    std::string sysfs = root && *root ? root : "/sys";
    // The name given first (/dev/ttyUSB0), then what a link such as
    // /dev/serial/by-id/... leads to.
    for (const std::string &name : {base_name(port), base_name(resolved(port))}) {
        usb_device device;
        if (is_usb_tty(name) && usb_device_of(sysfs, name, &device))
            return {true, device.vendor_id, device.product_id, device.serial};
    }
    return {};
}

static std::string owning_group(const std::string &port)
{
    struct stat info {
    };
    if (stat(port.c_str(), &info) != 0)
        return "";
    if (group *entry = getgrgid(info.st_gid))
        return entry->gr_name;
    return std::to_string(info.st_gid);
}

static bool holds(const std::string &fd_dir, const std::string &device)
{
    DIR *dir = opendir(fd_dir.c_str());
    if (!dir)
        return false;
    bool found = false;
    while (dirent *entry = readdir(dir)) {
        char target[PATH_MAX];
        ssize_t n = readlink((fd_dir + "/" + entry->d_name).c_str(), target, sizeof target - 1);
        if (n > 0 && device == std::string(target, (size_t)n)) {
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

// "NAME (process PID)" of every other process with the device open.
static std::string holders(const std::string &port)
{
    std::string device = resolved(port);
    DIR *proc = device.empty() ? nullptr : opendir("/proc");
    if (!proc)
        return "";
    std::string names;
    std::string self = std::to_string(getpid());
    while (dirent *entry = readdir(proc)) {
        std::string pid = entry->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self)
            continue;
        if (!holds("/proc/" + pid + "/fd", device))
            continue;
        std::string name;
        std::getline(std::ifstream("/proc/" + pid + "/comm"), name);
        names += (names.empty() ? "" : ", ") + name + " (process " + pid + ")";
    }
    closedir(proc);
    return names;
}

static std::string permission_advice(const std::string &port)
{
    std::string owner = owning_group(port);
    if (owner.empty())
        owner = "dialout";
    // Joining root is no advice: the device needs a group of its own.
    if (owner == "root" || owner == "0")
        return "permission denied; the device belongs to group root: run kep-update with the "
               "rights the port needs, or give the device a group such as dialout with a udev rule";
    return "permission denied; the device belongs to group " + owner +
           ": add your user to it (sudo usermod -aG " + owner + " $USER, then log in again)";
}

std::string open_failure_message(const std::string &port, long code)
{
    std::string head = "cannot open port " + port + ": ";
    switch (code) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return head + "it is not present; check the cable and the port name "
                      "(kep-update --list-ports shows the ports present)";
    case EACCES:
    case EPERM: return head + permission_advice(port);
    case EBUSY:
    case EWOULDBLOCK: {
        std::string held_by = holders(port);
        return head + "it is in use by another program" +
               (held_by.empty() ? "" : " (" + held_by + ")") + "; close it and try again";
    }
    case ENOTTY:
    case EINVAL: return head + "it is not a serial port";
    default: return head + strerror((int)code);
    }
}

bool file_lock_take(file_lock *lock, const std::string &path, std::string *error)
{
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) {
        *error = "cannot lock " + path + ": " + strerror(errno);
        if (fd >= 0)
            close(fd);
        return false;
    }
    lock->handle = fd;
    return true;
}

void file_lock_release(file_lock *lock)
{
    if (lock->handle >= 0)
        close((int)lock->handle); // and with it the lock
    lock->handle = -1;
}

bool replace_file_durably(const std::string &path, const std::string &text, std::string *error)
{
    std::string temporary = path + ".new";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == (ssize_t)text.size() &&
              fsync(fd) == 0;
    if (fd >= 0)
        ok = close(fd) == 0 && ok;
    ok = ok && rename(temporary.c_str(), path.c_str()) == 0;
    if (ok) { // the rename reaches the disk with its folder
        size_t slash = path.rfind('/');
        std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
        int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ok = dir >= 0 && fsync(dir) == 0;
        if (dir >= 0)
            close(dir);
    }
    if (!ok)
        *error = "cannot write " + path + ": " + strerror(errno);
    return ok;
}
