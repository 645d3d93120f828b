#include "monotonic_clock.h"
#include "os_services.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

// Wraps like the Windows tick counter; callers compare by difference.
uint32_t tick_count_ms() { return (uint32_t)(monotonic_ns() / 1000000); }

void sleep_ms(uint32_t ms)
{
    timespec rest{(time_t)(ms / 1000u), (long)(ms % 1000u) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

// Without a window the status line goes to standard error, one text a line.
void show_status_text(const char *text) { fprintf(stderr, "%s\n", text); }

long last_error_code() { return errno; }

int last_error_text(long code, char *buffer, int size)
{
    if (size <= 0)
        return 0;
    snprintf(buffer, (size_t)size, "%s", strerror((int)code));
    return (int)strlen(buffer);
}
