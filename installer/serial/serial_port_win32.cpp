#include "serial/serial_port.h"

#include <cstdio>
#include <cstring>
#include <windows.h>

#define DEVICE_PREFIX "\\\\.\\"
#define DEVICE_NAME_SIZE 280
#define READ_TOTAL_TIMEOUT_MS 100
// More ports than anyone attaches at once; a port beyond them still works,
// only its failures are not remembered.
#define FAILURE_SLOTS 64

// The first system error of each open port, for port_failed(). Several
// update threads may use their own ports at once, hence the lock.
struct failure_slot {
    port_handle handle;
    bool in_use;
    long error_code;
};
static failure_slot failure_slots[FAILURE_SLOTS];
static SRWLOCK failure_lock = SRWLOCK_INIT;

static void track_port(port_handle handle)
{
    AcquireSRWLockExclusive(&failure_lock);
    for (failure_slot &slot : failure_slots) {
        if (!slot.in_use) {
            slot = failure_slot{handle, true, 0};
            break;
        }
    }
    ReleaseSRWLockExclusive(&failure_lock);
}

static void untrack_port(port_handle handle)
{
    AcquireSRWLockExclusive(&failure_lock);
    for (failure_slot &slot : failure_slots)
        if (slot.in_use && slot.handle == handle)
            slot = failure_slot{};
    ReleaseSRWLockExclusive(&failure_lock);
}

// Keeps the last error code as the caller may still want to read it.
static void record_failure(port_handle handle)
{
    DWORD code = GetLastError();
    AcquireSRWLockExclusive(&failure_lock);
    for (failure_slot &slot : failure_slots)
        if (slot.in_use && slot.handle == handle && slot.error_code == 0)
            slot.error_code = code ? (long)code : (long)ERROR_GEN_FAILURE;
    ReleaseSRWLockExclusive(&failure_lock);
    SetLastError(code);
}

bool port_failed(port_handle handle, long *error_code)
{
    bool failed = false;
    AcquireSRWLockShared(&failure_lock);
    for (const failure_slot &slot : failure_slots) {
        if (slot.in_use && slot.handle == handle && slot.error_code != 0) {
            *error_code = slot.error_code;
            failed = true;
        }
    }
    ReleaseSRWLockShared(&failure_lock);
    return failed;
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
    track_port((port_handle)handle);
    return (port_handle)handle;
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

int configure_port(port_handle handle, int32_t baud, int read_interval_ms)
{
    HANDLE port = (HANDLE)handle;
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) {
        fprintf(stderr, "Could not get Port State\n");
        return -1;
    }
    COMMTIMEOUTS cto;
    if (!GetCommTimeouts(port, &cto)) {
        fprintf(stderr, "Could not read comm timeouts\n");
        return -1;
    }
    set_line(&dcb, baud);
    // The read time-outs frame the replies: a gap between bytes ends one.
    cto.ReadIntervalTimeout = (DWORD)read_interval_ms;
    cto.ReadTotalTimeoutMultiplier = 0;
    cto.ReadTotalTimeoutConstant = READ_TOTAL_TIMEOUT_MS;
    cto.WriteTotalTimeoutMultiplier = 0;
    cto.WriteTotalTimeoutConstant = 0;
    SetCommState(port, &dcb);
    SetCommTimeouts(port, &cto);
    SetCommMask(port, 0);
    return 0;
}

int port_write(port_handle handle, const uint8_t *buffer, int count)
{
    DWORD bytes_written = 0;
    if (!WriteFile((HANDLE)handle, buffer, (DWORD)count, &bytes_written, nullptr))
        record_failure(handle);
    return (int)bytes_written;
}

int port_read(port_handle handle, uint8_t *buffer, int count)
{
    DWORD bytes_read = 0;
    if (!ReadFile((HANDLE)handle, buffer, (DWORD)count, &bytes_read, nullptr))
        record_failure(handle);
    return (int)bytes_read;
}

void port_purge(port_handle handle) { PurgeComm((HANDLE)handle, PURGE_TXCLEAR | PURGE_RXCLEAR); }

void port_flush(port_handle handle) { FlushFileBuffers((HANDLE)handle); }

void port_close(port_handle handle)
{
    untrack_port(handle);
    CloseHandle((HANDLE)handle);
}
