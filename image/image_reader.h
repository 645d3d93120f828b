// Reads a firmware image file as a firmware build writes it (raw binary, Intel
// HEX, Motorola S-record or ELF32 executable) into the flat image that is
// written from FLASH_IMAGE_BASE. The caller hands over the file's bytes; the
// reader opens nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Data below the image base would overwrite the bootloader; data at or above
// the window's end lies outside any KEP flash (RAM, option bytes).
#define IMAGE_WINDOW_END 0x08200000u

enum image_format { IMAGE_RAW, IMAGE_INTEL_HEX, IMAGE_SREC, IMAGE_ELF32 };

struct flat_image {
    image_format format = IMAGE_RAW;
    std::vector<uint8_t> bytes; // from FLASH_IMAGE_BASE to the highest address written
    uint32_t lowest = 0;        // lowest address the file writes
    std::string error;          // why the file was refused
};

// Fills `image` from the file's bytes; `name` only goes into messages (and its
// extension into the one for content that is not what the name says).
// Returns false with image->error naming the file, the place and the addresses.
bool read_image(const uint8_t *data, size_t size, const std::string &name, flat_image *image);

// "raw binary", "Intel HEX", "S-record", "ELF32".
const char *image_format_name(image_format format);
