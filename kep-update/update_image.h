// The image that every target gets, loaded and checked once: from --image or
// the one built in, padded to whole blocks, with what names it beyond doubt.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct update_image {
    std::vector<uint8_t> padded; // whole 1024-byte blocks from 0x08000800, zero-filled
    int32_t data_size = 0;       // the image's own bytes, before padding
    uint32_t lowest = 0;         // lowest address the file writes
    std::string path;            // absolute path of --image, or "built-in"
    std::string format;          // "raw binary", "Intel HEX", ... as --describe names it
    uint16_t crc16 = 0;          // of the padded image, as the target checks it
    std::string sha256;          // of the padded image, 64 hex digits
};

inline int32_t padded_size(const update_image &image) { return (int32_t)image.padded.size(); }

// Sets the image's CRC-16 and SHA-256 from its padded bytes, as they stand
// now: after loading, and again after a board's serial number is put in.
void seal_image(update_image *image);

// Loads the file at `path` (empty: the built-in image). False with `error`
// naming the file and why: missing, not a regular file, over the size limit,
// or refused by the image reader.
bool load_update_image(const std::string &path, update_image *image, std::string *error);

// Traces the image's base and padded size, as the dialog does at start.
void trace_update_image(const update_image &image);
