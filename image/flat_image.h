// The flat image a firmware file is read into, and the formats it may come in.
#pragma once

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
