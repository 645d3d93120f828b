#include "serial/serial_port_win32.h"

#include "serial/serial_port.h"

#include <cstdio>
#include <cstring>
#include <windows.h>

#define DEVICE_PREFIX "\\\\.\\"
#define DEVICE_NAME_SIZE 280
#define READ_TOTAL_TIMEOUT_MS 100
#define WRITE_CHECK_INTERVAL_MS 100

// Everything the module keeps about one open port. Each port is used by one
// thread at a time, so the record needs no lock.
struct serial_port {
    HANDLE handle;
    int read_interval_ms;
    long error_code; // the first failure; 0 while the port works
    write_wait_check write_check;
    void *write_context;
};

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
    return new serial_port{handle, 0, 0, nullptr, nullptr};
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

int port_write(port_handle port, const uint8_t *buffer, int count)
{
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

int port_read(port_handle port, uint8_t *buffer, int count)
{
    DWORD bytes_read = 0;
    if (!ReadFile(port->handle, buffer, (DWORD)count, &bytes_read, nullptr))
        record_failure(port);
    return (int)bytes_read;
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
