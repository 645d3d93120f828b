#include "pty_endpoint.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

static bool fail(const char *what)
{
    fprintf(stderr, "kep-sim: %s: %s\n", what, strerror(errno));
    return false;
}

bool pty_endpoint_open(pty_endpoint *endpoint)
{
    endpoint->master = -1;
    endpoint->slave = -1;
    endpoint->master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (endpoint->master < 0)
        return fail("cannot open a pseudo-terminal");
    if (grantpt(endpoint->master) != 0 || unlockpt(endpoint->master) != 0)
        return fail("cannot unlock the pseudo-terminal");
    const char *name = ptsname(endpoint->master);
    if (!name)
        return fail("cannot name the pseudo-terminal");
    endpoint->slave_path = name;
    endpoint->slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (endpoint->slave < 0)
        return fail("cannot open the pseudo-terminal's slave");
    termios raw{};
    if (tcgetattr(endpoint->slave, &raw) != 0)
        return fail("cannot read the slave's settings");
    cfmakeraw(&raw);
    if (tcsetattr(endpoint->slave, TCSANOW, &raw) != 0)
        return fail("cannot make the slave raw");
    return true;
}

bool pty_endpoint_publish(pty_endpoint *endpoint, const std::string &link_path)
{
    struct stat existing {
    };
    if (lstat(link_path.c_str(), &existing) == 0) {
        if (!S_ISLNK(existing.st_mode)) {
            fprintf(stderr, "kep-sim: %s exists and is not a symbolic link; not replaced\n",
                    link_path.c_str());
            return false;
        }
        if (unlink(link_path.c_str()) != 0)
            return fail(("cannot replace " + link_path).c_str());
    }
    if (symlink(endpoint->slave_path.c_str(), link_path.c_str()) != 0)
        return fail(("cannot create " + link_path).c_str());
    endpoint->link_path = link_path;
    return true;
}

void pty_endpoint_unpublish(pty_endpoint *endpoint)
{
    if (endpoint->link_path.empty())
        return;
    unlink(endpoint->link_path.c_str());
    endpoint->link_path.clear();
}

static void sleep_a_millisecond()
{
    timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
}

void pty_endpoint_wait_drained(const pty_endpoint *endpoint, int limit_ms)
{
    // Bytes written to the master reach the slave's queue a moment later.
    sleep_a_millisecond();
    for (int waited = 0; waited < limit_ms; waited++) {
        int queued = 0;
        if (ioctl(endpoint->slave, TIOCINQ, &queued) != 0 || queued == 0)
            return;
        sleep_a_millisecond();
    }
}

void pty_endpoint_wait_request(const pty_endpoint *endpoint, int limit_ms)
{
    pollfd input{endpoint->master, POLLIN, 0};
    poll(&input, 1, limit_ms);
}

size_t pty_endpoint_fill_line(const pty_endpoint *endpoint)
{
    // Our own slave descriptor writes into the queue the tool's writes join.
    int flags = fcntl(endpoint->slave, F_GETFL);
    fcntl(endpoint->slave, F_SETFL, flags | O_NONBLOCK);
    static const uint8_t filler[1024] = {};
    size_t filled = 0;
    ssize_t n;
    while ((n = write(endpoint->slave, filler, sizeof filler)) > 0)
        filled += (size_t)n;
    fcntl(endpoint->slave, F_SETFL, flags);
    return filled;
}

void pty_endpoint_hang_up(pty_endpoint *endpoint)
{
    if (endpoint->master >= 0)
        close(endpoint->master);
    endpoint->master = -1;
}

void pty_endpoint_close(pty_endpoint *endpoint)
{
    pty_endpoint_hang_up(endpoint);
    if (endpoint->slave >= 0)
        close(endpoint->slave);
    endpoint->slave = -1;
}
