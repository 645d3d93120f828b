#include "serial/serial_port_win32.h"

#include "frames.h"
#include "serial/serial_port.h"

#include <cstdio>
#include <cstring>
#include <windows.h>

#define DEVICE_PREFIX "\\\\.\\"
#define DEVICE_NAME_SIZE 280
#define READ_TOTAL_TIMEOUT_MS 100
#define WRITE_CHECK_INTERVAL_MS 100
// 3.5 characters of silence end a Modbus RTU frame: 1.75 ms above 19200
// baud; 2 ms leaves a margin.
#define TURNAROUND_US 2000
#define READ_PIECE_GAP_MS 1

// Everything the module keeps about one open port. Each port is used by one
// thread at a time, so the record needs no lock.
struct serial_port {
    HANDLE handle;
    int read_interval_ms;
    long error_code; // the first failure; 0 while the port works
    write_wait_check write_check;
    void *write_context;
    // kep-update's reads: each ReadFile returns as soon as bytes are there,
    // and the module itself ends the read on the whole reply or the gap.
    bool whole_replies;
    COMMTIMEOUTS timeouts; // as last set
    int64_t last_byte_at;  // microseconds, when a read last received a byte; 0: never
    int request_length;    // of the last frame written; 0: none known
    uint8_t request[MODBUS_FRAME_LENGTH_MAX];
};

static int64_t now_us()
{
    static LARGE_INTEGER frequency; // the same for the whole run; set by the first call
    if (frequency.QuadPart == 0)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return count.QuadPart / frequency.QuadPart * 1000000 +
           count.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart;
}

// Keeps the first failure, and the last error code as the caller may still
// want to read it.
static void record_failure(serial_port *port)
{
    DWORD code = GetLastError();
    if (port->error_code == 0)
        port->error_code = code ? (long)code : (long)ERROR_GEN_FAILURE;
    SetLastError(code);
}

HANDLE port_system_handle(port_handle port) { return port->handle; }

bool port_failed(port_handle port, long *error_code)
{
    if (!port || port->error_code == 0)
        return false;
    *error_code = port->error_code;
    return true;
}

port_handle port_open(const char *name)
{
    // The list gives full device names; a console user may type just "COM7",
    // which only opens as a device for ports 1 to 9 without the prefix.
    char device[DEVICE_NAME_SIZE];
    if (strncmp(name, DEVICE_PREFIX, strlen(DEVICE_PREFIX)) == 0)
        snprintf(device, sizeof device, "%s", name);
    else
        snprintf(device, sizeof device, "%s%s", DEVICE_PREFIX, name);
    HANDLE handle = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return INVALID_PORT_HANDLE;
    auto *port = new serial_port{};
    port->handle = handle;
    return port;
}

static void set_line(DCB *dcb, int32_t baud)
{
    dcb->BaudRate = (DWORD)baud;
    dcb->ByteSize = 8;
    dcb->Parity = EVENPARITY;
    dcb->StopBits = ONESTOPBIT;
    dcb->fBinary = TRUE;
    dcb->fParity = FALSE;
    dcb->fOutxCtsFlow = FALSE;
    dcb->fOutxDsrFlow = FALSE;
    dcb->fDtrControl = DTR_CONTROL_DISABLE;
    dcb->fDsrSensitivity = FALSE;
    dcb->fTXContinueOnXoff = TRUE;
    dcb->fOutX = FALSE;
    dcb->fInX = FALSE;
    dcb->fErrorChar = FALSE;
    dcb->fNull = FALSE;
    dcb->fRtsControl = RTS_CONTROL_DISABLE;
    dcb->fAbortOnError = FALSE;
}

// The read time-outs frame the replies: a gap between bytes ends one. A write
// waits as long as it takes, unless a write check wants to be asked.
static bool set_timeouts(serial_port *port)
{
    COMMTIMEOUTS cto;
    if (!GetCommTimeouts(port->handle, &cto)) {
        fprintf(stderr, "Could not read comm timeouts\n");
        return false;
    }
    cto.ReadIntervalTimeout = (DWORD)port->read_interval_ms;
    cto.ReadTotalTimeoutMultiplier = 0;
    cto.ReadTotalTimeoutConstant = READ_TOTAL_TIMEOUT_MS;
    cto.WriteTotalTimeoutMultiplier = 0;
    cto.WriteTotalTimeoutConstant = port->write_check ? WRITE_CHECK_INTERVAL_MS : 0;
    if (!SetCommTimeouts(port->handle, &cto)) {
        fprintf(stderr, "Could not set comm timeouts\n");
        return false;
    }
    port->timeouts = cto;
    return true;
}

// The system's wait of one ReadFile in kep-update's reads: it returns 1 ms
// after bytes stop coming, or with none after `wait_ms`. (Under Wine the
// "return at the first byte" setting, MAXDWORD for the interval and the
// multiplier, did not end a read sooner than the 20 ms gap does.)
static bool wait_at_most(serial_port *port, DWORD wait_ms)
{
    if (port->timeouts.ReadIntervalTimeout == READ_PIECE_GAP_MS &&
        port->timeouts.ReadTotalTimeoutConstant == wait_ms)
        return true;
    COMMTIMEOUTS cto = port->timeouts;
    cto.ReadIntervalTimeout = READ_PIECE_GAP_MS;
    cto.ReadTotalTimeoutMultiplier = 0;
    cto.ReadTotalTimeoutConstant = wait_ms;
    if (!SetCommTimeouts(port->handle, &cto))
        return false;
    port->timeouts = cto;
    return true;
}

int configure_port(port_handle port, int32_t baud, int read_interval_ms)
{
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port->handle, &dcb)) {
        DWORD code = GetLastError();
        fprintf(stderr, "Could not get Port State\n");
        // A file or another device opens as a port does; only the port's
        // settings tell them apart. One code says which it was.
        bool not_a_port = GetFileType(port->handle) != FILE_TYPE_CHAR ||
                          code == ERROR_INVALID_HANDLE || code == ERROR_INVALID_FUNCTION;
        SetLastError(not_a_port ? ERROR_NOT_SUPPORTED : code);
        return -1;
    }
    set_line(&dcb, baud);
    if (!SetCommState(port->handle, &dcb)) {
        fprintf(stderr, "Could not set Port State\n");
        return -1;
    }
    port->read_interval_ms = read_interval_ms;
    if (!set_timeouts(port))
        return -1;
    SetCommMask(port->handle, 0);
    return 0;
}

void port_set_write_check(port_handle port, write_wait_check check, void *context)
{
    port->write_check = check;
    port->write_context = context;
    if (!set_timeouts(port))
        record_failure(port);
}

void port_end_reads_on_whole_replies(port_handle port) { port->whole_replies = true; }

// A request sooner than the turnaround after a reply's last byte would run
// into it on the device's side. The wait is at most 2 ms: it spins, as
// Sleep's granularity on Windows is far coarser.
static void keep_turnaround(serial_port *port, const uint8_t *buffer, int count)
{
    if (port->last_byte_at != 0)
        while (now_us() < port->last_byte_at + TURNAROUND_US)
            SwitchToThread();
    bool fits = count > 0 && count <= (int)sizeof port->request;
    port->request_length = fits ? count : 0;
    if (fits)
        memcpy(port->request, buffer, (size_t)count);
}

int port_write(port_handle port, const uint8_t *buffer, int count)
{
    if (port->whole_replies)
        keep_turnaround(port, buffer, count);
    int written = 0;
    while (written < count) {
        DWORD bytes_written = 0;
        if (!WriteFile(port->handle, buffer + written, (DWORD)(count - written), &bytes_written,
                       nullptr)) {
            record_failure(port);
            return written + (int)bytes_written;
        }
        written += (int)bytes_written;
        // Without a check the write had no time-out: it is done.
        if (!port->write_check || written >= count || !port->write_check(port->write_context))
            break;
    }
    return written;
}

// kep-update's read: ReadFile after ReadFile, each returning what has come,
// until the reply to the request in flight is whole, a gap ends the bytes, or
// nothing came within the limit. A reply that has begun ends on the gap, one
// gap past the limit at the latest, so that its last bytes are not cut off.
static int read_whole_reply(serial_port *port, uint8_t *buffer, int count, uint32_t limit_ms)
{
    const int64_t interval_us = (int64_t)port->read_interval_ms * 1000;
    const int64_t limit_at = now_us() + (int64_t)limit_ms * 1000;
    int got = 0;
    int64_t last_byte_at = 0;
    while (got < count) {
        int64_t deadline = got == 0 ? limit_at
                                    : (last_byte_at < limit_at ? last_byte_at : limit_at) + interval_us;
        int64_t left_us = deadline - now_us();
        if (left_us <= 0)
            break;
        DWORD bytes_read = 0;
        if (!wait_at_most(port, (DWORD)((left_us + 999) / 1000)) ||
            !ReadFile(port->handle, buffer + got, (DWORD)(count - got), &bytes_read, nullptr)) {
            record_failure(port);
            break;
        }
        if (bytes_read == 0)
            continue; // the wait ran out: the deadline says whether to go on
        got += (int)bytes_read;
        last_byte_at = now_us();
        port->last_byte_at = last_byte_at;
        if (reply_is_whole(port->request, port->request_length, buffer, got))
            break;
    }
    return got;
}

int port_read_within(port_handle port, uint8_t *buffer, int count, uint32_t limit_ms)
{
    if (count <= 0)
        return 0;
    if (port->whole_replies)
        return read_whole_reply(port, buffer, count,
                                limit_ms < READ_TOTAL_TIMEOUT_MS ? limit_ms : READ_TOTAL_TIMEOUT_MS);
    // The dialog's read: the port's own time-outs frame the reply.
    DWORD bytes_read = 0;
    if (!ReadFile(port->handle, buffer, (DWORD)count, &bytes_read, nullptr))
        record_failure(port);
    return (int)bytes_read;
}

int port_read(port_handle port, uint8_t *buffer, int count)
{
    return port_read_within(port, buffer, count, READ_TOTAL_TIMEOUT_MS);
}

void port_purge(port_handle port) { PurgeComm(port->handle, PURGE_TXCLEAR | PURGE_RXCLEAR); }

void port_flush(port_handle port) { FlushFileBuffers(port->handle); }

void port_close(port_handle port)
{
    if (!port)
        return;
    DWORD saved = GetLastError();
    CloseHandle(port->handle);
    delete port;
    SetLastError(saved);
}
