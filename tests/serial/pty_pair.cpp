#include "pty_pair.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

bool pty_open(pty_pair *pair)
{
    pair->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    const char *name = pair->master < 0 || grantpt(pair->master) != 0 || unlockpt(pair->master) != 0
                           ? nullptr
                           : ptsname(pair->master);
    pair->slave_path = name ? name : "";
    return name != nullptr;
}

void pty_close_master(pty_pair *pair)
{
    if (pair->master >= 0)
        close(pair->master);
    pair->master = -1;
}

bool pty_send(const pty_pair *pair, const std::vector<uint8_t> &bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = write(pair->master, bytes.data() + sent, bytes.size() - sent);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += (size_t)n;
    }
    return true;
}

std::vector<uint8_t> pty_receive(const pty_pair *pair, size_t count, int timeout_ms)
{
    std::vector<uint8_t> bytes;
    double deadline = now_ms() + timeout_ms;
    while (bytes.size() < count && now_ms() < deadline) {
        pollfd input{pair->master, POLLIN, 0};
        if (poll(&input, 1, (int)(deadline - now_ms()) + 1) <= 0)
            continue;
        uint8_t chunk[4096];
        ssize_t n = read(pair->master, chunk, std::min(count - bytes.size(), sizeof chunk));
        if (n <= 0)
            break;
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return bytes;
}

double now_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec * 1000.0 + (double)now.tv_nsec / 1e6;
}
