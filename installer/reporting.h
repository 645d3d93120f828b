// The three reporting channels: the status line, the trace on standard output,
// and the text of the fatal-error report.
#pragma once

#include <cstdarg>
#include <cstdint>

#define STATUS_BUFFER_SIZE 100
#define FATAL_MESSAGE_SIZE 1000

// Where a thread's trace and status texts go. Without one, the trace goes to
// standard output and the status to show_status_text().
struct report_sink {
    void *context;
    void (*trace)(void *context, const char *text, int length);
    void (*flush)(void *context);
    void (*status)(void *context, const char *text);
    // Every reply read, before the engine acts on it; may be null.
    void (*reply)(void *context, const uint8_t *frame, int length);
};

// Routes the calling thread's reports to `sink` (null restores the default).
// Each update thread of a multi-port run gets its own, so no lock is shared.
void report_route(const report_sink *sink);

void status_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
void trace_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
void trace_flush();

// Hands the bytes of a reply just read to this thread's sink, if it wants them.
void report_reply(const uint8_t *frame, int length);

// The last status text formatted on this thread.
const char *status_text();

// Composes the fatal-error report into `message` (`size` bytes): heading,
// indented text, the error number and system text when `error_code` is not 0,
// then the closing block, which always fits. Returns the length.
int compose_fatal_message(char *message, int size, const char *text, long error_code,
                          const char *system_text);

// The same with this thread's last system error code and its text, read
// right after the failing call.
int compose_fatal_report(char *message, int size, const char *text);

// Makes a system error text fit inside a sentence, in place: each run of
// line breaks becomes one blank, and trailing blanks and the final full stop
// go ("Not ready.\r\n" -> "Not ready"). Returns the new length.
int trim_system_text(char *text);

// The system's text for `code`, trimmed so: what goes into "... (%s) ...".
int error_phrase(long code, char *buffer, int size);
