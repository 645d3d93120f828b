#include "sim_log.h"

#include <cstdarg>
#include <cstdio>

void sim_log(const char *format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    // One write per line keeps lines whole next to the tool's own output.
    fprintf(stderr, "kep-sim: %s\n", text);
}
