// What the engine needs from the operating system beyond the serial port.
// One implementation per platform (os_services_posix.cpp, os_services_win32.cpp);
// the tests link a settable clock instead.
#pragma once

#include <cstdint>

// Millisecond tick counter, 32 bits; compare stamps by unsigned difference.
uint32_t tick_count_ms();
void sleep_ms(uint32_t ms);

// Shows a status text where this platform shows it (the dialog's status field).
void show_status_text(const char *text);

// The calling thread's last system error code (errno, GetLastError) and the
// system's own text for a code; the text is cut to `size` - 1 characters.
long last_error_code();
int last_error_text(long code, char *buffer, int size);

// Reports why the tool cannot go on and ends the process with status 1.
[[noreturn]] void fatal_error(const char *text);
