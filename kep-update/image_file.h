#pragma once

#include "image_reader.h"

#include <string>

// Reads an image file in any format the image reader takes into `image`.
// Refuses a missing, unreadable or oversized file and a directory; then, and
// for a file the reader refuses, image->error says why.
bool read_image_file(const std::string &path, flat_image *image);
