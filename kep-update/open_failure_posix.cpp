// Linux: the cause of a failed open, with the group that owns the device and
// the programs that hold it (found through /proc).
#include "open_failure.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

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

static std::string resolved(const std::string &path)
{
    char target[PATH_MAX];
    return realpath(path.c_str(), target) ? target : "";
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
    std::string names;
    DIR *proc = opendir("/proc");
    if (!proc || device.empty()) {
        if (proc)
            closedir(proc);
        return "";
    }
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
    case EPERM: {
        std::string owner = owning_group(port);
        return head + "permission denied; the device belongs to group " +
               (owner.empty() ? "dialout" : owner) + ": add your user to it (sudo usermod -aG " +
               (owner.empty() ? "dialout" : owner) + " $USER, then log in again)";
    }
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
