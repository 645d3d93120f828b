// What kep-update needs from the operating system beyond the engine's port:
// the terminal, the standard streams and signals, durable appends, the ports
// a watch looks after, the USB device behind a port, and why a port did not
// open. One file per system (system_posix.cpp, system_win32.cpp).
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

// --- Text and file names -------------------------------------------------

// kep-update keeps every text in UTF-8, file names included. A path made
// from one opens the file by its UTF-16 name on Windows, whatever the code
// page, and by its bytes elsewhere.
inline std::filesystem::path utf8_path(const std::string &text)
{
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}
inline std::string utf8_text(const std::filesystem::path &path)
{
    std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// The command line's words in UTF-8 (on Windows read as UTF-16 from the
// system, whatever the code page), with the system's own ways of asking for
// help ("/?" and "-?" on Windows) as --help.
std::vector<std::string> program_arguments(int argc, char **argv);

// Opens the file at the UTF-8 `path` as fopen does.
FILE *open_file(const std::string &path, const char *mode);

// What --help says of the ports, the stop requests and paths on this system.
struct help_texts {
    const char *port_example;    // "/dev/ttyUSB0"
    const char *watch_patterns;  // the --watch patterns and their default
    const char *stop_requests;   // what interrupts a run
    const char *examples;        // command lines with this system's paths
};
const help_texts &system_help_texts();

// --- The standard streams and stop signals -------------------------------

// Makes standard input, output and error valid (onto the null device where
// closed), so that no port or file is ever opened as one of them, and keeps a
// closed pipe from ending the process: its writes then fail and are dropped.
void guard_standard_streams();

// Calls `handler` on Ctrl-C, a termination request and a closed terminal.
void catch_stop_signals(void (*handler)(int));

// True when standard error is a terminal that takes the progress view's
// escape sequences (switched on where the console needs asking).
bool stderr_is_live_terminal();
bool stdout_is_terminal();

// Windows: the console calls behind stderr_is_live_terminal (GetConsoleMode,
// SetConsoleMode), replaceable so that a test can play a console that
// refuses escape sequences.
struct console_mode_calls {
    int (*get_mode)(void *console, unsigned long *mode);
    int (*set_mode)(void *console, unsigned long mode);
};

// Windows: true when `console` interprets escape sequences, already or once
// asked; false for a handle that is no console and for a console that refuses.
bool console_takes_escapes(void *console, const console_mode_calls *calls);

// Columns of standard error's terminal, or `fallback` when it has none or
// will not say.
int terminal_columns(int fallback);

// --- Records on the disk --------------------------------------------------

// A file appended to one whole line at a time.
struct record_file {
    int fd = -1;
};

// Opens `path` for appending, creating it. False with `error` set.
bool record_file_open(record_file *file, const std::string &path, std::string *error);

// Appends `line` and waits until it is on the disk. On any failure the file
// is cut back to its length before, so it never holds part of a line, and
// `error` says why ("No space left on device").
bool record_file_append(record_file *file, const std::string &line, std::string *error);

void record_file_close(record_file *file);

// --- Ports ----------------------------------------------------------------

// What --watch looks after without --port: the USB serial ports.
std::vector<std::string> default_port_patterns();

// The ports present now whose names match one of `patterns` (globs with * and
// ?), sorted, each once.
std::vector<std::string> matching_ports(const std::vector<std::string> &patterns);

// The USB device behind a serial port, for the station's records.
struct usb_identity {
    bool known = false;     // false: no USB device found behind the port
    std::string vendor_id;  // four hex digits, as the device reports them
    std::string product_id; // four hex digits
    std::string serial;     // empty when the device has no serial number
};

// Looks the port up while its device is present. Linux reads sysfs (the root
// is /sys, or $KEP_UPDATE_SYSFS so that tests can lay out a device of their own).
usb_identity port_usb_identity(const std::string &port);

// "cannot open port P: <the cause>; <what to do next>" for the system's
// error code `code` of the failed open.
std::string open_failure_message(const std::string &port, long code);

// --- Files shared between stations --------------------------------------

// This machine's name, for the records' default station; "" when unknown.
std::string host_name();

// The folder of what a station keeps between runs (its outbox), made if
// need be: $XDG_STATE_HOME/kep-update or ~/.local/state/kep-update, and
// %LOCALAPPDATA%\kep-update on Windows. "" when there is none.
std::string station_state_folder();

// An exclusive lock on a file, between threads and processes alike.
struct file_lock {
    intptr_t handle = -1;
};

// Waits for the lock on `path` (created if need be). False with `error` set.
bool file_lock_take(file_lock *lock, const std::string &path, std::string *error);
void file_lock_release(file_lock *lock);

// Replaces the file at `path` with `text` so that a crash leaves the old or
// the new content, never a mix: a new file written and synced, renamed over
// the old one, the rename synced. False with `error` set.
bool replace_file_durably(const std::string &path, const std::string &text, std::string *error);
