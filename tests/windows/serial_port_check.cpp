// The Windows serial layer against kep-sim started with --hangup-after 1 on
// the named port: plain and full port names, the line set-up, a read that
// finds nothing, a contact request and its reply, a program block and its
// ack, then the hang-up, which port_failed() must report. Exit status 0 on
// pass, 1 with a message on failure, 2 on bad usage.
#include "frames.h"
#include "serial/serial_port.h"
#include "serial/serial_port_win32.h"
#include "update_link.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <windows.h>

namespace
{

[[noreturn]] void fail(const char *format, ...) __attribute__((format(printf, 1, 2)));

void fail(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    printf("FAIL: ");
    vprintf(format, args);
    printf("\n");
    va_end(args);
    exit(1);
}

// GetTickCount moves in 16 ms steps under Wine; this one does not.
double now_ms()
{
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return (double)count.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

uint8_t frame[MODBUS_FRAME_LENGTH_MAX];
uint8_t block[MODBUS_PROG_BLOCKSIZE_MAX];

update_link make_link(port_handle handle)
{
    update_link link{};
    link.handle = handle;
    link.unit_address = UNIT_ADDRESS;
    link.capacity = MODBUS_FRAME_LENGTH_MAX;
    link.frame = frame;
    return link;
}

// Sends the frame built in `link` and reads until a valid reply or 2 s.
void exchange(update_link *link, const char *what)
{
    if (port_write(link->handle, link->frame, link->len) != link->len)
        fail("%s: not every byte was written", what);
    double start = now_ms();
    while (now_ms() - start < 2000) {
        link->len = port_read(link->handle, link->frame, link->capacity);
        if (link->len > 0 && frame_is_valid(link)) {
            printf("%s: %d-byte reply\n", what, (int)link->len);
            return;
        }
    }
    fail("%s: no valid reply within 2 s", what);
}

void expect_working(port_handle handle, const char *when)
{
    long code = 0;
    if (port_failed(handle, &code))
        fail("port_failed reports error %ld %s", code, when);
}

void check_names(const char *plain_name, const char *device_name)
{
    port_handle plain = port_open(plain_name);
    if (plain == INVALID_PORT_HANDLE)
        fail("\"%s\" does not open (error %lu)", plain_name, GetLastError());
    port_close(plain);
    port_handle missing = port_open("COM199");
    if (missing != INVALID_PORT_HANDLE)
        fail("\"COM199\" opens, though no such port exists");
    if (GetLastError() == 0)
        fail("a failed open leaves no error code");
    printf("names: \"%s\" and \"%s\" open, COM199 fails with error %lu\n", plain_name, device_name,
           GetLastError());
}

int run(const char *plain_name, const char *device_name)
{
    check_names(plain_name, device_name);
    port_handle handle = port_open(device_name);
    if (handle == INVALID_PORT_HANDLE)
        fail("\"%s\" does not open (error %lu)", device_name, GetLastError());
    if (configure_port(handle, 115200, 20) != 0)
        fail("configure_port failed");
    COMMTIMEOUTS cto;
    if (!GetCommTimeouts(port_system_handle(handle), &cto))
        fail("GetCommTimeouts failed after configuring");
    if (cto.ReadIntervalTimeout != 20 || cto.ReadTotalTimeoutConstant != 100 ||
        cto.ReadTotalTimeoutMultiplier != 0 || cto.WriteTotalTimeoutConstant != 0 ||
        cto.WriteTotalTimeoutMultiplier != 0)
        fail("time-outs read back as %lu/%lu/%lu/%lu/%lu", cto.ReadIntervalTimeout,
             cto.ReadTotalTimeoutMultiplier, cto.ReadTotalTimeoutConstant,
             cto.WriteTotalTimeoutMultiplier, cto.WriteTotalTimeoutConstant);

    // Nothing has been asked, so nothing arrives: 0 bytes after the 100 ms
    // total, with a generous bound above.
    double start = now_ms();
    int got = port_read(handle, frame, MODBUS_FRAME_LENGTH_MAX);
    double waited = now_ms() - start;
    if (got != 0)
        fail("a read of the silent line returned %d", got);
    if (waited < 90 || waited > 1000)
        fail("a read of the silent line took %.1f ms", waited);
    printf("silence: 0 bytes after %.1f ms\n", waited);
    expect_working(handle, "on a silent line");

    update_link link = make_link(handle);
    build_address_query(&link, FLASH_IMAGE_BASE, 4);
    exchange(&link, "contact");
    port_purge(handle);
    port_flush(handle);
    memset(block, 0x5A, sizeof block);
    build_program_block(&link, FLASH_IMAGE_BASE, MODBUS_PROG_BLOCKSIZE_MAX, block);
    exchange(&link, "block 1");
    expect_working(handle, "after two exchanges");

    // kep-sim closes the line after the first block's ack. Under Wine a read
    // of the hung-up line still ends quietly with nothing; the next request
    // written fails, as the engine's re-sends would.
    long code = 0;
    start = now_ms();
    while (!port_failed(handle, &code) && now_ms() - start < 3000) {
        port_read(handle, frame, MODBUS_FRAME_LENGTH_MAX);
        port_write(handle, link.frame, link.len);
    }
    if (code == 0)
        fail("port_failed does not report the hang-up within 3 s");
    printf("hang-up: port_failed reports error %ld\n", code);
    port_close(handle);
    if (port_failed(handle, &code))
        fail("port_failed still reports a closed handle");
    printf("serial layer OK\n");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc != 3) {
        fprintf(stderr, "usage: serial_port_check COMN \\\\.\\comN\n");
        return 2;
    }
    return run(argv[1], argv[2]);
}
