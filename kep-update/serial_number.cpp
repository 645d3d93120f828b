#include "serial_number.h"

#include "frames.h"
#include "system.h"
#include "update_link.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#define ASCII_DIGITS_MAX 20 // 2^64 - 1 has 20 digits
#define SERIAL_FILE_HEAD_MAX 128

bool parse_serial_format(const std::string &text, serial_format *format)
{
    if (text == "u32le" || text == "u32be" || text == "u64le") {
        format->layout = text == "u32le" ? SERIAL_U32LE : text == "u32be" ? SERIAL_U32BE : SERIAL_U64LE;
        format->width = text == "u64le" ? 8 : 4;
        return true;
    }
    if (text.rfind("ascii:", 0) != 0 || text.size() == 6 ||
        text.find_first_not_of("0123456789", 6) != std::string::npos || text.size() > 8)
        return false;
    int digits = atoi(text.c_str() + 6);
    if (digits < 1 || digits > ASCII_DIGITS_MAX)
        return false;
    *format = {SERIAL_ASCII, digits};
    return true;
}

// The largest number `format` holds.
static uint64_t serial_number_max(const serial_format &format)
{
    switch (format.layout) {
    case SERIAL_U32LE:
    case SERIAL_U32BE: return UINT32_MAX;
    case SERIAL_U64LE: return UINT64_MAX;
    case SERIAL_ASCII: break;
    }
    if (format.width >= ASCII_DIGITS_MAX) // 20 digits hold any 64-bit number
        return UINT64_MAX;
    uint64_t power = 1;
    for (int i = 0; i < format.width; i++)
        power *= 10;
    return power - 1;
}

bool encode_serial_number(uint64_t number, const serial_format &format, std::vector<uint8_t> *bytes)
{
    if (number > serial_number_max(format))
        return false;
    bytes->assign((size_t)format.width, 0);
    for (int i = 0; i < format.width; i++) {
        switch (format.layout) {
        case SERIAL_U32BE: (*bytes)[(size_t)(3 - i)] = (uint8_t)(number >> (8 * i)); break;
        case SERIAL_ASCII:
            (*bytes)[(size_t)(format.width - 1 - i)] = (uint8_t)('0' + number % 10);
            number /= 10;
            break;
        default: (*bytes)[(size_t)i] = (uint8_t)(number >> (8 * i)); break;
        }
    }
    return true;
}

std::string check_serial_field(const update_image &image, const serial_settings &serial)
{
    uint64_t first = serial.address, last = first + (uint64_t)serial.format.width - 1;
    uint64_t data_end = FLASH_IMAGE_BASE + (uint64_t)image.data_size;
    char text[200];
    if (first < FLASH_IMAGE_BASE || last >= data_end) {
        snprintf(text, sizeof text,
                 "the serial number's field 0x%08llX..0x%08llX lies outside the image's data "
                 "0x%08X..0x%08llX",
                 (unsigned long long)first, (unsigned long long)last, FLASH_IMAGE_BASE,
                 (unsigned long long)data_end - 1);
        return text;
    }
    if (serial.format.width >= image.data_size)
        return "the image holds nothing but the serial number's field";
    const uint8_t *field = image.padded.data() + (first - FLASH_IMAGE_BASE);
    bool erased = true, zero = true;
    for (int i = 0; i < serial.format.width; i++) {
        erased = erased && field[i] == 0xFF;
        zero = zero && field[i] == 0x00;
    }
    if (erased || zero)
        return "";
    snprintf(text, sizeof text,
             "the image holds data at 0x%08llX..0x%08llX; a serial number would overwrite it",
             (unsigned long long)first, (unsigned long long)last);
    return text;
}

void patch_serial_number(const update_image &image, const serial_settings &serial,
                         uint64_t number, update_image *board)
{
    *board = image;
    std::vector<uint8_t> bytes;
    encode_serial_number(number, serial.format, &bytes);
    std::copy(bytes.begin(), bytes.end(), board->padded.begin() + (serial.address - FLASH_IMAGE_BASE));
    seal_image(board);
}

std::vector<image_range> check_ranges(const update_image &image, const serial_settings *serial)
{
    if (!serial || !serial->used)
        return {{0, image.data_size}};
    int32_t field = (int32_t)(serial->address - FLASH_IMAGE_BASE);
    int32_t after = field + serial->format.width;
    std::vector<image_range> ranges;
    if (field > 0)
        ranges.push_back({0, field});
    if (after < image.data_size)
        ranges.push_back({after, image.data_size - after});
    return ranges;
}

bool serial_file_number(const std::string &bytes, uint64_t *number)
{
    std::string text;
    auto byte = [&](size_t at) { return (uint8_t)bytes[at]; };
    bool utf16 = bytes.size() >= 2 && ((byte(0) == 0xFF && byte(1) == 0xFE) ||
                                       (byte(0) == 0xFE && byte(1) == 0xFF));
    if (utf16) {
        size_t low = byte(0) == 0xFF ? 0 : 1; // little-endian: the low byte first
        for (size_t at = 2; at + 1 < bytes.size(); at += 2)
            text += bytes[at + 1 - low] == 0 ? bytes[at + low] : '?';
    } else {
        text = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? bytes.substr(3) : bytes;
    }
    text.erase(std::min(text.find('\n'), text.size()));
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    if (text.empty() || text.size() > ASCII_DIGITS_MAX ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    *number = strtoull(text.c_str(), nullptr, 10);
    return errno == 0;
}

// The number a serial file holds; false when it holds none.
static bool read_number(const std::string &path, uint64_t *number, bool *missing)
{
    std::ifstream file(utf8_path(path), std::ios::binary);
    *missing = !file;
    // Enough for the longest number's line in UTF-16 with its mark; a longer
    // first line holds no number anyway.
    char head[SERIAL_FILE_HEAD_MAX];
    file.read(head, sizeof head);
    return serial_file_number(std::string(head, (size_t)file.gcount()), number);
}

std::string serial_number_misfit(const serial_settings &serial, uint64_t number,
                                 const std::string &from)
{
    // Never wrapped or cut: a number that no longer fits stops the station.
    if (number <= serial_number_max(serial.format) && number != UINT64_MAX)
        return "";
    return "the next serial number, " + std::to_string(number) + " (from " + from +
           "), does not fit the format " + serial.format_name;
}

bool read_serial_file(const serial_settings &serial, uint64_t *number, std::string *error)
{
    bool missing = false;
    if (!read_number(serial.file, number, &missing)) {
        if (!missing || !serial.has_start) {
            *error = missing ? "the serial number file " + serial.file +
                                   " does not exist (--serial-start N makes it)"
                             : "the serial number file " + serial.file + " holds no decimal number";
            return false;
        }
        *number = serial.start;
    }
    *error = serial_number_misfit(serial, *number, serial.file);
    return error->empty();
}

std::string check_serial_file(const serial_settings &serial)
{
    uint64_t number = 0;
    std::string error;
    read_serial_file(serial, &number, &error);
    return error;
}

