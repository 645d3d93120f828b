// The three reporting channels: the status line, the trace on standard output,
// and the text of the fatal-error report.
#pragma once

#include <cstdarg>
#include <cstdint>

#define STATUS_BUFFER_SIZE 100
#define FATAL_MESSAGE_SIZE 1000

// What an update did, as it happens, for a front end that follows it.
enum link_event_kind : int32_t {
    LINK_EVENT_STATE,          // `state` entered; `offset` bytes acknowledged so far
    LINK_EVENT_BLOCK_ACKED,    // block `block` (from 1) acknowledged
    LINK_EVENT_BLOCK_REFUSED,  // block `block` answered with exception `code`
    LINK_EVENT_RESEND,         // the request of `state` sent again after its time-out
    LINK_EVENT_VERIFY_RESULT,  // the target's range CRC `remote_crc` against `local_crc`
    LINK_EVENT_VERIFY_REFUSED, // the verify request answered with exception `code`
    LINK_EVENT_BLOCK_SKIPPED,  // block `block` left out: the target holds it already
};

struct link_event {
    int32_t kind; // a link_event_kind
    int32_t state;
    int32_t offset;
    int32_t block;
    int32_t code;
    uint16_t remote_crc;
    uint16_t local_crc;
};

// Where a thread's trace and status texts go. Without one, the trace goes to
// standard output and the status to show_status_text().
struct report_sink {
    void *context;
    void (*trace)(void *context, const char *text, int length);
    void (*flush)(void *context);
    void (*status)(void *context, const char *text);
    // Each event of the update; may be null.
    void (*event)(void *context, const link_event *event);
};

// Routes the calling thread's reports to `sink` (null restores the default).
// Each update thread of a multi-port run gets its own, so no lock is shared.
void report_route(const report_sink *sink);

void status_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
void trace_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
void trace_flush();

// Hands an event to this thread's sink, if it wants them.
void report_event(const link_event *event);

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
