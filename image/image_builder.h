// What the format readers share: the builder that collects data records into
// the flat image, and the line and hex-digit helpers of the two text formats.
// The readers call it; it calls nobody back.
#pragma once

#include "flat_image.h"
#include "text_printf.h"

#include <cstddef>

// Collects data records into the flat image, checking the window and that no
// two records disagree about a byte.
struct image_builder {
    flat_image *image;
    std::string name;
    std::vector<uint8_t> written; // 1 where a record gave the byte
    bool any = false;
};

// Places `length` bytes at `address`; `where` names the record ("line 12").
bool image_put(image_builder *builder, uint64_t address, const uint8_t *data, size_t length,
               const std::string &where);

// Sets the error "<name>: <where>: <what>" and returns false.
bool image_fail(image_builder *builder, const std::string &where, const std::string &what);

// One line of a text format, without its line end; `number` counts from 1.
struct text_line {
    const uint8_t *text;
    size_t length;
    int number;
};

// Steps to the next line from *pos; false at the end of the data.
bool next_line(const uint8_t *data, size_t size, size_t *pos, text_line *line);

// The value of one hex digit, or -1 for any other character.
int hex_digit(uint8_t c);

// Decodes a record's hex digits after its first `skip` characters into bytes.
// False (with the error set) for an odd count or a character that is not a hex digit.
bool decode_hex_record(image_builder *builder, const text_line &line, size_t skip,
                       std::vector<uint8_t> *bytes);

// The sum of a record's bytes, modulo 256: both text formats check it.
uint8_t record_sum(const std::vector<uint8_t> &record);

// "line 12".
std::string line_name(const text_line &line);

// "0x08000800".
std::string hex_address(uint64_t address);
