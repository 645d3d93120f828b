// Reads a firmware image file as a firmware build writes it (raw binary, Intel
// HEX, Motorola S-record or ELF32 executable) into the flat image that is
// written from FLASH_IMAGE_BASE. The caller hands over the file's bytes; the
// reader opens nothing.
#pragma once

#include "flat_image.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Fills `image` from the file's bytes; `name` only goes into messages (and its
// extension into the one for content that is not what the name says).
// Returns false with image->error naming the file, the place and the addresses.
bool read_image(const uint8_t *data, size_t size, const std::string &name, flat_image *image);

// "raw binary", "Intel HEX", "S-record", "ELF32".
const char *image_format_name(image_format format);
