// Fuzz target: the acceptance test of received frames. The input is the frame
// as read, cut to the frame buffer's size; the buffer is exactly that size on
// the heap, so a read past it is reported.
#include "frames.h"
#include "fuzz_check.h"
#include "reference_crc.h"

#include <cstdlib>
#include <cstring>

// A value frame_is_valid never writes: any change to it is the function's.
static const int32_t ERROR_UNTOUCHED = -7;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    static const uint8_t check_value[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    FUZZ_CHECK(reference_crc(check_value, sizeof check_value) == 0x4B37,
               "the reference CRC of \"123456789\" must be the published 0x4b37");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t length = size < MODBUS_FRAME_LENGTH_MAX ? size : MODBUS_FRAME_LENGTH_MAX;
    uint8_t *frame = (uint8_t *)malloc(MODBUS_FRAME_LENGTH_MAX);
    FUZZ_CHECK(frame != nullptr, "out of memory");
    memset(frame, 0xA5, MODBUS_FRAME_LENGTH_MAX);
    if (length > 0)
        memcpy(frame, data, length);

    update_link link{};
    link.frame = frame;
    link.capacity = MODBUS_FRAME_LENGTH_MAX;
    link.len = (int32_t)length;
    link.error = ERROR_UNTOUCHED;

    bool valid = frame_is_valid(&link);

    bool crc_matches = length >= 4 && reference_frame_ok(frame, length);
    FUZZ_CHECK(valid == crc_matches, "%zu bytes: accepted %d, reference CRC says %d", length, valid,
               crc_matches);
    int32_t expected_error = length >= 4 && !crc_matches ? 5 : ERROR_UNTOUCHED;
    FUZZ_CHECK(link.error == expected_error, "%zu bytes, CRC %s: error %d, expected %d", length,
               crc_matches ? "right" : "wrong", link.error, expected_error);
    FUZZ_CHECK(link.len == (int32_t)length, "len changed from %zu to %d", length, link.len);
    FUZZ_CHECK(length == 0 || memcmp(frame, data, length) == 0, "the frame bytes were changed");
    free(frame);
    return 0;
}
