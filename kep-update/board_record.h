// The station's record of one board, updated or checked: one JSON object on
// one line (JSON Lines), written and read back here alone, so that a report
// and its summary never disagree on a member.
#pragma once

#include "job_result.h"
#include "system.h"
#include "update_image.h"

#include <cstdint>
#include <string>

// Where every record of a run comes from, so that records of several
// stations, lots and operators can be told apart.
struct record_origin {
    std::string station;       // --station, or the host name
    std::string lot;           // empty: null
    std::string operator_name; // empty: null
};

// What names the image a record's board was given (before its serial number).
struct image_identity {
    std::string path, format;
    int32_t size = 0, padded_size = 0;
    uint16_t crc16 = 0;
    std::string sha256;
};

image_identity identity_of(const update_image &image);

struct board_record {
    record_origin origin;                 // the record's first members, then the tool's version
    int64_t started_ms = 0, ended_ms = 0; // wall clock, milliseconds since 1970 (UTC)
    std::string port;
    std::string slot; // the watch slot's name; empty: null
    usb_identity usb;
    image_identity image;
    bool check = false;    // "check", else "update"
    job_result result;     // its outcome written in the words of an update or a check
    bool numbered = false; // serial_number null when not
    uint64_t serial_number = 0;
    std::string written_sha256; // of the padded image as written, its number included
    std::string record_id;      // the station's own, unique; empty in older records
};

// A new record id: 32 hex digits, never the same twice.
std::string new_record_id();

// The record as one JSON object and its line end. Members: station, lot,
// operator, tool_version, started, ended, port, slot, usb, image, operation,
// outcome, exit_status (the outcome's, never set apart), blocks_acknowledged,
// blocks_refused, blocks_skipped, blocks_total, resends, seconds, message, serial_number,
// written_sha256, record_id. A byte that is not UTF-8 (a port name may hold any) is
// written as U+FFFD.
std::string record_line(const board_record &r);

// Reads a line that record_line wrote, or one an older kep-update wrote
// (without slot, station, lot, operator, serial_number, image or usb).
// False when the line is not a record: not a JSON object, a member missing or
// of the wrong type, a stamp that is no time, an end before the start, or an
// exit status that is not its outcome's.
bool record_from_line(const std::string &line, board_record *r);

// "2026-12-06T23:59:01.123Z" for `unix_ms`, and back. stamp_parse is false
// for any other text, a day or time that does not exist included.
std::string stamp_text(int64_t unix_ms);
bool stamp_parse(const std::string &text, int64_t *unix_ms);

// Milliseconds since 1970 (UTC) now.
int64_t wall_clock_ms();
