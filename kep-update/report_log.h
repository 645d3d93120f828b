// The station's record: one JSON object per line (JSON Lines) for every target
// updated or checked, appended and on the disk as soon as that target is done.
#pragma once

#include "system.h"
#include "update_image.h"

#include <cstdint>
#include <mutex>
#include <string>

struct report_record {
    int64_t started_ms = 0; // wall clock, milliseconds since 1970 (UTC)
    int64_t ended_ms = 0;
    std::string port;
    usb_identity usb;
    const update_image *image = nullptr;
    bool check = false; // "check", else "update"
    std::string outcome;
    int exit_status = 0;
    int32_t blocks_acknowledged = 0;
    int32_t blocks_refused = 0;
    int32_t blocks_total = 0;
    int32_t resends = 0;
    double seconds = 0;
    std::string message;
    bool numbered = false; // serial_number null when not
    uint64_t serial_number = 0;
    std::string written_sha256; // of the padded image as written, its number included
};

// Where every record of a run comes from, so that records of several
// stations, lots and operators can be told apart.
struct record_origin {
    std::string station;       // --station, or the host name
    std::string lot;           // empty: null
    std::string operator_name; // empty: null
};

// The origin's members and the tool's version, as the first members of a
// record: "\"station\":...,\"lot\":...,\"operator\":...,\"tool_version\":...,".
std::string origin_members(const record_origin &origin);

// `text` as a JSON string, quotes included.
std::string json_string(const std::string &text);

// "2026-12-06T23:59:01.123Z" for `unix_ms`.
std::string iso8601_utc(int64_t unix_ms);

// Milliseconds since 1970 (UTC) now.
int64_t wall_clock_ms();

// The record as one line of JSON, line end included.
std::string format_report_record(const report_record *record);

struct report_file {
    record_file file;
    std::mutex mutex;   // ports end on threads of their own
    std::string origin; // origin_members(), put first in every record appended
};

// Opens `path` for appending, creating it if need be. False with `error` set
// when it cannot be opened.
bool report_open(report_file *report, const std::string &path, std::string *error);

// Appends one record (a line from format_report_record, its origin put first) and waits until it is
// on the disk. False when that failed, with the file as it was before and `error` saying why.
bool report_append(report_file *report, const std::string &line, std::string *error);

void report_close(report_file *report);
