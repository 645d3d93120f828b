// The serial module: line configuration and the blocking read and write that
// the update protocol relies on. One implementation per platform
// (serial_port_posix.cpp, serial_port_win32.cpp); the build picks one.
#pragma once

#include "serial/port_handle.h"

#include <cstdint>

// Opens a serial device for reading and writing, exclusively: a second open
// of the same port, by this process or another, fails. Returns
// INVALID_PORT_HANDLE on failure, with the system's last error code set.
port_handle port_open(const char *name);

// Raw 8E1 at `baud`, no flow control, DTR and RTS inactive; reads end after a
// `read_interval_ms` gap between bytes or 100 ms after they start.
// Returns 0, or -1 when the settings or time-outs cannot be read or set (a
// message on standard error says which, the system's last error code why):
// the port is then unusable, as its reads might never end.
int configure_port(port_handle handle, int32_t baud, int read_interval_ms);

// Asked while a write waits for the line to take data; false gives it up.
typedef bool (*write_wait_check)(void *context);

// From now on port_write asks `check` at least every 100 ms while the line
// takes nothing, and ends short once it says false. Without a check (the
// default, and what the dialog program keeps) a write waits as long as the
// line needs.
void port_set_write_check(port_handle handle, write_wait_check check, void *context);

// From now on reads end on whole replies and writes keep the turnaround (see
// port_write, port_read). Always so on POSIX; on Windows only from this call
// on, so that the dialog program, which never makes it, keeps its reads.
void port_end_reads_on_whole_replies(port_handle handle);

// Synchronous write of `count` bytes; returns the count written, less than
// `count` only after a failure or when the write check gave up. With reads
// that end on whole replies, the frame written is the request in flight for
// the reads that follow, and the write starts no sooner than 2 ms after the
// last byte a read received.
int port_write(port_handle handle, const uint8_t *buffer, int count);

// Synchronous read of up to `count` bytes. Waits at most 100 ms for the first
// byte, then returns after a 20 ms gap, `count` bytes, or the 100 ms total.
// With reads that end on whole replies: also as soon as the bytes are the
// whole reply to the request in flight (reply_is_whole), and a reply that has
// begun is not cut at the total: it ends on the gap, one gap past the total
// at the latest. Returns the count read: 0 when nothing arrived, never negative.
int port_read(port_handle handle, uint8_t *buffer, int count);

// The same, waiting at most `limit_ms` (1 to 100) for the first byte.
int port_read_within(port_handle handle, uint8_t *buffer, int count, uint32_t limit_ms);

// Discards both queues (clear only, no abort of pending I/O).
void port_purge(port_handle handle);

// Waits until everything written has left.
void port_flush(port_handle handle);

// Frees the port's record; keeps the system's last error code as it was.
void port_close(port_handle handle);

// True once a read or write on `handle` has failed with a system error or a
// hang-up (the adapter unplugged); `*error_code` then holds the system's code
// of that failure. False, and `*error_code` untouched, while the port works.
bool port_failed(port_handle handle, long *error_code);
