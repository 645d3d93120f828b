// The serial module on a POSIX terminal device. The descriptor is kept
// non-blocking: every wait is a poll() against the monotonic clock, which can
// express both read limits (the gap between bytes and the total) where
// VMIN/VTIME cannot, and lets a stalled write give up.
//
// Here every read knows the request in flight (the last frame written; on
// Windows only kep-update's do) and ends as soon as its reply is whole, and a
// reply that has begun is not cut at the 100 ms total; the next write then
// keeps the silence a Modbus RTU device needs between frames.
#include "frames.h"
#include "monotonic_clock.h"
#include "serial/line_settings_posix.h"
#include "serial/low_latency_posix.h"
#include "serial/serial_port.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#define READ_TOTAL_TIMEOUT_MS 100
#define READ_INTERVAL_DEFAULT_MS 20
#define WRITE_CHECK_INTERVAL_MS 100
// 3.5 characters of silence end a Modbus RTU frame: 1.75 ms above 19200
// baud. A request sooner than that after a reply's last byte would run into
// it on the device's side; 2 ms leaves a margin.
#define TURNAROUND_NS 2000000

// Everything the module keeps about one open port. Each port is used by one
// thread at a time, so the record needs no lock.
struct serial_port {
    int fd;
    int read_interval_ms;
    long error_code; // the first failure; 0 while the port works
    write_wait_check write_check;
    void *write_context;
    bool low_latency_asked; // taken back off on closing
    int64_t last_byte_at;   // when a read last received a byte; 0: never
    int request_length;     // of the last frame written; 0: none known
    uint8_t request[MODBUS_FRAME_LENGTH_MAX];
};

// Keeps the first failure: later ones are usually its consequences.
static void note_failure(serial_port *port, long error_code)
{
    if (port->error_code == 0)
        port->error_code = error_code ? error_code : EIO;
}

bool port_failed(port_handle port, long *error_code)
{
    if (!port || port->error_code == 0)
        return false;
    *error_code = port->error_code;
    return true;
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
    auto *port = new serial_port{};
    port->fd = fd;
    port->read_interval_ms = READ_INTERVAL_DEFAULT_MS;
    port->low_latency_asked = ask_low_latency(fd);
    return port;
}

// glibc reports EINVAL when the parity bit does not stick, which is what a
// pseudo-terminal does with every setting applied: that port is usable.
static bool took_all_but_parity(int fd, const termios *wanted)
{
    termios now{};
    if (errno != EINVAL || tcgetattr(fd, &now) != 0)
        return false;
    const tcflag_t parity = PARENB | PARODD;
    return (now.c_cflag & ~parity) == (wanted->c_cflag & ~parity) &&
           now.c_iflag == wanted->c_iflag && now.c_lflag == wanted->c_lflag &&
           cfgetospeed(&now) == cfgetospeed(wanted);
}

int configure_port(port_handle port, int32_t baud, int read_interval_ms)
{
    termios current{};
    if (tcgetattr(port->fd, &current) != 0) {
        fputs("Could not get Port State\n", stderr);
        return -1;
    }
    termios settings{};
    if (!build_line_settings(&current, baud, &settings))
        fprintf(stderr, "Unsupported baud rate %ld: the line speed is left as it was\n",
                (long)baud);
    if (tcsetattr(port->fd, TCSANOW, &settings) != 0 && !took_all_but_parity(port->fd, &settings)) {
        fputs("Could not set Port State\n", stderr);
        return -1;
    }
    // Hold DTR and RTS inactive; a pseudo-terminal has no modem lines.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(port->fd, TIOCMBIC, &lines);
    port->read_interval_ms = read_interval_ms;
    return 0;
}

void port_set_write_check(port_handle port, write_wait_check check, void *context)
{
    port->write_check = check;
    port->write_context = context;
}

// Waits for room in the output queue. False once the port failed or the
// write check gave up.
static bool wait_for_room(serial_port *port)
{
    for (;;) {
        if (port->write_check && !port->write_check(port->write_context))
            return false;
        pollfd room{port->fd, POLLOUT, 0};
        int ready = poll(&room, 1, port->write_check ? WRITE_CHECK_INTERVAL_MS : -1);
        if (ready < 0 && errno != EINTR) {
            note_failure(port, errno);
            return false;
        }
        if (ready > 0 && (room.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            note_failure(port, (room.revents & POLLNVAL) ? EBADF : EIO);
            return false;
        }
        if (ready > 0)
            return true;
    }
}

// The request in flight is what the next read's reply is checked against.
static void remember_request(serial_port *port, const uint8_t *buffer, int count)
{
    bool fits = count > 0 && count <= (int)sizeof port->request;
    port->request_length = fits ? count : 0;
    if (fits)
        memcpy(port->request, buffer, (size_t)count);
}

int port_write(port_handle port, const uint8_t *buffer, int count)
{
    if (port->last_byte_at != 0)
        sleep_until(port->last_byte_at + TURNAROUND_NS);
    remember_request(port, buffer, count);
    int written = 0;
    while (written < count) {
        ssize_t n = write(port->fd, buffer + written, (size_t)(count - written));
        if (n > 0) {
            written += (int)n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!wait_for_room(port))
                break;
            continue;
        }
        note_failure(port, n < 0 ? errno : EIO);
        break;
    }
    return written;
}

void port_end_reads_on_whole_replies(port_handle) {} // the only reads here

int port_read(port_handle port, uint8_t *buffer, int count)
{
    return port_read_within(port, buffer, count, READ_TOTAL_TIMEOUT_MS);
}

int port_read_within(port_handle port, uint8_t *buffer, int count, uint32_t limit_ms)
{
    if (count <= 0)
        return 0;
    if (limit_ms > READ_TOTAL_TIMEOUT_MS)
        limit_ms = READ_TOTAL_TIMEOUT_MS;
    const int64_t interval_ns = (int64_t)port->read_interval_ms * 1000000;
    const int64_t total_deadline = monotonic_ns() + (int64_t)limit_ms * 1000000;
    int got = 0;
    int64_t last_byte_at = 0;
    for (;;) {
        // A reply that has begun ends on the gap, at one gap past the total
        // at the latest, so that its last bytes are not cut off.
        int64_t deadline = total_deadline;
        if (got > 0) {
            int64_t from = last_byte_at < total_deadline ? last_byte_at : total_deadline;
            deadline = from + interval_ns;
        }
        int64_t now = monotonic_ns();
        if (now >= deadline)
            return got;
        timespec wait = span_of(deadline - now);
        pollfd input{port->fd, POLLIN, 0};
        int ready = ppoll(&input, 1, &wait, nullptr);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            note_failure(port, errno);
            sleep_until(deadline);
            return got;
        }
        if (ready == 0)
            return got;
        if (input.revents & POLLIN) {
            ssize_t n = read(port->fd, buffer + got, (size_t)(count - got));
            if (n > 0) {
                got += (int)n;
                last_byte_at = monotonic_ns();
                port->last_byte_at = last_byte_at;
                if (got == count ||
                    reply_is_whole(port->request, port->request_length, buffer, got))
                    return got;
                continue;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
                continue;
            // 0 from a terminal whose other side has gone is a hang-up.
            note_failure(port, n < 0 ? errno : EIO);
        } else {
            note_failure(port, (input.revents & POLLNVAL) ? EBADF : EIO);
        }
        sleep_until(deadline);
        return got;
    }
}

void port_purge(port_handle port) { tcflush(port->fd, TCIOFLUSH); }

// With a write check the wait for the queue to empty is bounded like a write.
void port_flush(port_handle port)
{
    if (!port->write_check) {
        tcdrain(port->fd);
        return;
    }
    int64_t next_check = 0;
    for (;;) {
        int queued = 0;
        if (ioctl(port->fd, TIOCOUTQ, &queued) != 0 || queued == 0)
            return;
        int64_t now = monotonic_ns();
        if (now >= next_check) {
            if (!port->write_check(port->write_context))
                return;
            next_check = now + (int64_t)WRITE_CHECK_INTERVAL_MS * 1000000;
        }
        timespec pause = span_of(5000000);
        nanosleep(&pause, nullptr);
    }
}

void port_close(port_handle port)
{
    if (!port)
        return;
    int saved = errno;
    // The exclusive mode belongs to the terminal, not to this descriptor: a
    // port that others keep open would otherwise stay barred after we leave.
    ioctl(port->fd, TIOCNXCL);
    if (port->low_latency_asked)
        drop_low_latency(port->fd);
    close(port->fd);
    delete port;
    errno = saved;
}
