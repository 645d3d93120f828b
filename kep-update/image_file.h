#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Reads a raw image file. Refuses a missing, unreadable or empty file and one
// larger than the flash above the bootloader; `error` then says why.
bool read_image_file(const std::string &path, std::vector<uint8_t> *bytes, std::string *error);
