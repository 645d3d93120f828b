#include "text_printf.h"

#include <cstdarg>
#include <cstdio>

std::string text_printf(const char *format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}
