// Where a board's record goes once the board is done: one small table of
// operations, so that the runner never knows whether it writes a file or a
// database. The JSON Lines report file is the first sink.
#pragma once

#include "board_record.h"
#include "system.h"

#include <mutex>
#include <string>

struct record_sink {
    void *context;
    // Stores `record` whole or not at all; false with `why` set when not.
    // Called from every slot's thread.
    bool (*write)(void *context, const board_record &record, std::string *why);
    // How many stored records still wait to reach their place (a database);
    // null when they never wait.
    int (*waiting)(void *context);
};

// 0 for a null sink or one whose records never wait.
int record_sink_waiting(const record_sink *sink);

// Writes through `sink`; a null sink (no --report) takes every record and
// stores nothing.
bool record_sink_write(const record_sink *sink, const board_record &record, std::string *why);

struct report_file {
    record_file file;
    std::mutex mutex;   // slots end their boards on threads of their own
};

// Opens `path` for appending, creating it if need be. False with `error` set
// when it cannot be opened.
bool report_open(report_file *report, const std::string &path, std::string *error);
void report_close(report_file *report);

// A sink that appends each record's line to `file` (open) and waits until it
// is on the disk; on failure the file is as it was before and `why` names the
// cause ("No space left on device").
record_sink report_file_sink(report_file *file);
