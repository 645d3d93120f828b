// The fuzz input, read front to back a byte at a time; bytes past its end read
// as 0, and `input_left` tells the caller when the input is used up.
#pragma once

#include <cstddef>
#include <cstdint>

struct fuzz_input {
    const uint8_t *data;
    size_t size;
    size_t at;
};

inline bool input_left(const fuzz_input *input) { return input->at < input->size; }

inline uint8_t input_byte(fuzz_input *input)
{
    return input->at < input->size ? input->data[input->at++] : 0;
}
