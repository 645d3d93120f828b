// The firmware image built into the executable, padded to whole blocks.
#pragma once

#include "update_link.h"

#include <cstdint>

// Finds the image bytes linked into this executable (the "BINFILE" resource on
// Windows); one implementation per platform. Sets *size to their count.
const uint8_t *find_firmware_resource(int32_t *size);

// Loads the built-in image into the link and traces its base and size.
void load_firmware_image(update_link *link);

// Traces where the image goes and how long it is after padding.
void trace_firmware_image(const update_link *link);

// Pads `size` bytes with zeros to whole 1024-byte blocks into a new buffer and
// sets image, image_size and flash_base. Returns false when the buffer cannot
// be allocated (link left unchanged).
bool set_firmware_image(update_link *link, const uint8_t *bytes, int32_t size);

// The padded size of an image of `size` bytes (size > 0). Inline, so that the
// build's image converter needs nothing else of the engine.
inline int32_t padded_image_size(int32_t size)
{
    return ((size - 1) / MODBUS_PROG_BLOCKSIZE_MAX + 1) * MODBUS_PROG_BLOCKSIZE_MAX;
}
