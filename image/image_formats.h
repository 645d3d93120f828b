// The format readers, one per file. Each fills the builder from a whole file's
// bytes and returns false with the builder's error set; the dispatcher
// (image_reader.cpp) picks one by the file's content.
#pragma once

#include "image_builder.h"

bool read_intel_hex(image_builder *builder, const uint8_t *data, size_t size);
bool read_srec(image_builder *builder, const uint8_t *data, size_t size);
bool read_elf32(image_builder *builder, const uint8_t *data, size_t size);
