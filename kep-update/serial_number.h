// Per-board serial numbers: each board's copy of the image gets the next
// number from a small file shared by every station process, written at a
// fixed address in a field the firmware leaves blank for it.
#pragma once

#include "update_image.h"

#include <cstdint>
#include <string>
#include <vector>

enum serial_layout { SERIAL_U32LE, SERIAL_U32BE, SERIAL_U64LE, SERIAL_ASCII };

struct serial_format {
    serial_layout layout = SERIAL_U32LE;
    int width = 4; // bytes in the image; for ascii:N the N digits
};

struct serial_settings {
    bool used = false;
    uint32_t address = 0; // where the field starts in the target's flash
    serial_format format;
    std::string format_name = "u32le";
    std::string file;        // holds the next number, in decimal
    bool has_start = false;  // --serial-start: the number when the file is new
    uint64_t start = 0;
};

// "u32le", "u32be", "u64le", "ascii:N" (N from 1 to 20). False when unknown.
bool parse_serial_format(const std::string &text, serial_format *format);

// The number's bytes in the field, or false when it does not fit.
bool encode_serial_number(uint64_t number, const serial_format &format, std::vector<uint8_t> *bytes);

// Empty when the field fits the image's own bytes and they are blank there
// (all 0xFF or all 0x00, the placeholder a firmware reserves); else why not.
std::string check_serial_field(const update_image &image, const serial_settings &serial);

// The parts of the image's own bytes a check compares: all of them, or with
// `serial` (may be null) those before and after the number's field; each as
// (offset, length), none empty.
struct image_range {
    int32_t offset, length;
};
std::vector<image_range> check_ranges(const update_image &image, const serial_settings *serial);

// The number a serial file's bytes hold: decimal digits on the first line,
// as any editor saves them: CRLF or LF, UTF-8 with or without its byte-order
// mark (Notepad), UTF-16 of either byte order with its mark (PowerShell 5's
// `echo 2000 > file`). False when there is none. The file is always written
// back as plain digits.
bool serial_file_number(const std::string &bytes, uint64_t *number);

// Before any port is touched: empty when the serial file holds a number
// that fits the format (or is missing, with --serial-start); else why not.
std::string check_serial_file(const serial_settings &serial);

// The number serial.file gives now: a missing file gives serial.start with
// --serial-start. False with `error` set when there is none or it does not
// fit the format. Reads only: taking a number is serial_source.h's.
bool read_serial_file(const serial_settings &serial, uint64_t *number, std::string *error);

// Empty when `number` fits the format and has a next; else why not, naming
// the file `from` that gave it.
std::string serial_number_misfit(const serial_settings &serial, uint64_t number,
                                 const std::string &from);

// `board` becomes `image` with `number` in its field, sealed anew.
void patch_serial_number(const update_image &image, const serial_settings &serial,
                         uint64_t number, update_image *board);
