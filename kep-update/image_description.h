#pragma once

#include <string>

// --describe: prints what would be written, from the file at `image_path` or
// (when empty) the built-in image: format, address range, sizes, blocks, the
// CRC-16 the trace later shows as "Local  CRC", and the SHA-256 of the padded
// image. Touches no port. Returns the exit status: 0, or 2 with the reader's
// message on standard error.
int describe_image(const std::string &image_path);
