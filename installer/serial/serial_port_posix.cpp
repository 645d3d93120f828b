// The serial module on a POSIX terminal device. The descriptor is kept
// non-blocking: every wait is a poll() against the monotonic clock, which can
// express both read limits (the gap between bytes and the total) where
// VMIN/VTIME cannot.
#include "serial/line_settings_posix.h"
#include "serial/serial_port.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#define READ_TOTAL_TIMEOUT_MS 100
#define READ_INTERVAL_DEFAULT_MS 20
#define PORT_RECORDS_MAX 64

// What the module keeps about each open port, keyed by its descriptor.
struct port_record {
    int fd; // -1: free
    int read_interval_ms;
    bool failed;
    long error_code;
};

static std::mutex records_lock;
static port_record records[PORT_RECORDS_MAX];
static bool records_ready;

// The record of `fd`, made on first use; null only when the table is full.
// Called with records_lock held.
static port_record *record_of(int fd)
{
    if (!records_ready) {
        for (port_record &record : records)
            record.fd = -1;
        records_ready = true;
    }
    port_record *free_record = nullptr;
    for (port_record &record : records) {
        if (record.fd == fd)
            return &record;
        if (record.fd == -1 && !free_record)
            free_record = &record;
    }
    if (free_record)
        *free_record = port_record{fd, READ_INTERVAL_DEFAULT_MS, false, 0};
    return free_record;
}

static void forget_port(int fd)
{
    std::lock_guard<std::mutex> guard(records_lock);
    if (port_record *record = record_of(fd))
        record->fd = -1;
}

static int read_interval_of(int fd)
{
    std::lock_guard<std::mutex> guard(records_lock);
    port_record *record = record_of(fd);
    return record ? record->read_interval_ms : READ_INTERVAL_DEFAULT_MS;
}

// Keeps the first failure: later ones are usually its consequences.
static void note_failure(int fd, long error_code)
{
    std::lock_guard<std::mutex> guard(records_lock);
    port_record *record = record_of(fd);
    if (record && !record->failed) {
        record->failed = true;
        record->error_code = error_code;
    }
}

bool port_failed(port_handle handle, long *error_code)
{
    std::lock_guard<std::mutex> guard(records_lock);
    port_record *record = record_of((int)handle);
    if (!record || !record->failed)
        return false;
    *error_code = record->error_code;
    return true;
}

static int64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

static timespec span_of(int64_t ns)
{
    return timespec{(time_t)(ns / 1000000000), (long)(ns % 1000000000)};
}

// A dead port must not turn a caller's read loop into a busy loop: the read
// takes the time it would have taken had nothing arrived.
static void sleep_until(int64_t deadline_ns)
{
    for (int64_t now = monotonic_ns(); now < deadline_ns; now = monotonic_ns()) {
        timespec rest = span_of(deadline_ns - now);
        nanosleep(&rest, nullptr);
    }
}

port_handle port_open(const char *name)
{
    int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return INVALID_PORT_HANDLE;
    // TIOCEXCL keeps other users out, but lets root through; the advisory
    // lock holds for everyone who opens the port through this module.
    if (ioctl(fd, TIOCEXCL) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return INVALID_PORT_HANDLE;
    }
    std::lock_guard<std::mutex> guard(records_lock);
    if (port_record *record = record_of(fd))
        *record = port_record{fd, READ_INTERVAL_DEFAULT_MS, false, 0};
    return fd;
}

int configure_port(port_handle handle, int32_t baud, int read_interval_ms)
{
    int fd = (int)handle;
    termios current{};
    if (tcgetattr(fd, &current) != 0) {
        fputs("Could not get Port State\n", stderr);
        return -1;
    }
    termios settings{};
    if (!build_line_settings(&current, baud, &settings))
        fprintf(stderr, "Unsupported baud rate %ld: the line speed is left as it was\n",
                (long)baud);
    tcsetattr(fd, TCSANOW, &settings);
    // Hold DTR and RTS inactive; a pseudo-terminal has no modem lines.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &lines);
    std::lock_guard<std::mutex> guard(records_lock);
    if (port_record *record = record_of(fd))
        record->read_interval_ms = read_interval_ms;
    return 0;
}

int port_write(port_handle handle, const uint8_t *buffer, int count)
{
    int fd = (int)handle;
    int written = 0;
    while (written < count) {
        ssize_t n = write(fd, buffer + written, (size_t)(count - written));
        if (n > 0) {
            written += (int)n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The output queue is full: wait, without a time-out, for room.
            pollfd room{fd, POLLOUT, 0};
            if (poll(&room, 1, -1) < 0 && errno != EINTR) {
                note_failure(fd, errno);
                break;
            }
            if (room.revents & (POLLHUP | POLLERR | POLLNVAL)) {
                note_failure(fd, (room.revents & POLLNVAL) ? EBADF : EIO);
                break;
            }
            continue;
        }
        note_failure(fd, n < 0 ? errno : EIO);
        break;
    }
    return written;
}

int port_read(port_handle handle, uint8_t *buffer, int count)
{
    int fd = (int)handle;
    if (count <= 0)
        return 0;
    const int64_t interval_ns = (int64_t)read_interval_of(fd) * 1000000;
    const int64_t total_deadline = monotonic_ns() + (int64_t)READ_TOTAL_TIMEOUT_MS * 1000000;
    int got = 0;
    int64_t last_byte_at = 0;
    for (;;) {
        int64_t deadline = total_deadline;
        if (got > 0 && last_byte_at + interval_ns < deadline)
            deadline = last_byte_at + interval_ns;
        int64_t now = monotonic_ns();
        if (now >= deadline)
            return got;
        timespec wait = span_of(deadline - now);
        pollfd input{fd, POLLIN, 0};
        int ready = ppoll(&input, 1, &wait, nullptr);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            note_failure(fd, errno);
            sleep_until(deadline);
            return got;
        }
        if (ready == 0)
            return got;
        if (input.revents & POLLIN) {
            ssize_t n = read(fd, buffer + got, (size_t)(count - got));
            if (n > 0) {
                got += (int)n;
                last_byte_at = monotonic_ns();
                if (got == count)
                    return got;
                continue;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
                continue;
            // 0 from a terminal whose other side has gone is a hang-up.
            note_failure(fd, n < 0 ? errno : EIO);
        } else {
            note_failure(fd, (input.revents & POLLNVAL) ? EBADF : EIO);
        }
        sleep_until(deadline);
        return got;
    }
}

void port_purge(port_handle handle) { tcflush((int)handle, TCIOFLUSH); }

void port_flush(port_handle handle) { tcdrain((int)handle); }

void port_close(port_handle handle)
{
    int fd = (int)handle;
    forget_port(fd);
    // The exclusive mode belongs to the terminal, not to this descriptor: a
    // port that others keep open would otherwise stay barred after we leave.
    ioctl(fd, TIOCNXCL);
    close(fd);
}
