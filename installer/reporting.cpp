#include "reporting.h"

#include "os_services.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// One buffer and one route per thread: in the one-thread dialog program these
// are simply the program's own; in a multi-port run each update thread
// reports on its own without a lock between them.
static thread_local char status_buffer[STATUS_BUFFER_SIZE];
static thread_local const report_sink *route;

void report_route(const report_sink *sink) { route = sink; }

const char *status_text() { return status_buffer; }

void status_printf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(status_buffer, sizeof status_buffer, format, args);
    va_end(args);
    if (route)
        route->status(route->context, status_buffer);
    else
        show_status_text(status_buffer);
}

static void trace_to_sink(const char *format, va_list args)
{
    char small[256];
    va_list again;
    va_copy(again, args);
    int length = vsnprintf(small, sizeof small, format, args);
    if (length < 0) {
        va_end(again);
        return;
    }
    if ((size_t)length < sizeof small) {
        route->trace(route->context, small, length);
    } else if (char *large = (char *)malloc((size_t)length + 1)) {
        vsnprintf(large, (size_t)length + 1, format, again);
        route->trace(route->context, large, length);
        free(large);
    }
    va_end(again);
}

void trace_printf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    if (route)
        trace_to_sink(format, args);
    else
        vprintf(format, args);
    va_end(args);
}

void trace_flush()
{
    if (route)
        route->flush(route->context);
    else
        fflush(stdout);
}

void report_event(const link_event *event)
{
    if (route && route->event)
        route->event(route->context, event);
}

// Appends to `message` at `*used`, never past `limit` bytes (zero included).
static void append(char *message, int limit, int *used, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

static void append(char *message, int limit, int *used, const char *format, ...)
{
    if (*used >= limit - 1)
        return;
    va_list args;
    va_start(args, format);
    int length = vsnprintf(message + *used, (size_t)(limit - *used), format, args);
    va_end(args);
    if (length > 0)
        *used += (length < limit - *used) ? length : limit - *used - 1;
}

int compose_fatal_message(char *message, int size, const char *text, long error_code,
                          const char *system_text)
{
    static const char closing[] = "\n\n The program will now abort\n\n\n";
    const int closing_length = (int)sizeof closing - 1;
    // Everything before the closing block must leave room for it.
    int limit = size - closing_length;
    int used = 0;
    message[0] = '\0';
    append(message, limit, &used, "\n\nAn Error has occurred as follows:\n");
    append(message, limit, &used, "          %s\n", text);
    if (error_code != 0) {
        append(message, limit, &used, "Error number %ld reported\n", error_code);
        append(message, limit, &used, "%s", system_text ? system_text : "");
    }
    memcpy(message + used, closing, sizeof closing);
    return used + closing_length;
}

int compose_fatal_report(char *message, int size, const char *text)
{
    long code = last_error_code();
    char system_text[FATAL_MESSAGE_SIZE];
    last_error_text(code, system_text, sizeof system_text);
    return compose_fatal_message(message, size, text, code, system_text);
}

int trim_system_text(char *text)
{
    int length = 0;
    for (const char *from = text; *from; from++) {
        bool line_break = *from == '\r' || *from == '\n';
        if (!line_break)
            text[length++] = *from;
        else if (length > 0 && text[length - 1] != ' ')
            text[length++] = ' ';
    }
    while (length > 0 && text[length - 1] == ' ')
        length--;
    if (length > 0 && text[length - 1] == '.')
        length--;
    while (length > 0 && text[length - 1] == ' ')
        length--;
    text[length] = '\0';
    return length;
}

int error_phrase(long code, char *buffer, int size)
{
    if (size <= 0)
        return 0;
    last_error_text(code, buffer, size);
    return trim_system_text(buffer);
}
