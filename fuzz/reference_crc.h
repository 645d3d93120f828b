// A second CRC-16/MODBUS for the fuzz targets to check the engine against. It
// runs the unreflected shift register (polynomial 0x8005) on bit-reversed
// bytes and reverses the result, so it shares no formulation with the engine's.
#pragma once

#include <cstddef>
#include <cstdint>

// The checks' own code needs no coverage feedback: only the engine's guides the fuzzer.
#define NO_COVERAGE __attribute__((no_sanitize("coverage")))

NO_COVERAGE inline uint8_t reverse_byte(uint8_t b)
{
    b = (uint8_t)((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = (uint8_t)((b & 0xCC) >> 2 | (b & 0x33) << 2);
    return (uint8_t)((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

NO_COVERAGE inline uint16_t reference_crc(const uint8_t *data, size_t length)
{
    uint16_t reg = 0xFFFF;
    for (size_t i = 0; i < length; i++) {
        reg = (uint16_t)(reg ^ (reverse_byte(data[i]) << 8));
        for (int bit = 0; bit < 8; bit++)
            reg = (reg & 0x8000u) ? (uint16_t)((reg << 1) ^ 0x8005u) : (uint16_t)(reg << 1);
    }
    return (uint16_t)(reverse_byte((uint8_t)(reg & 0xFF)) << 8 | reverse_byte((uint8_t)(reg >> 8)));
}

// A frame as the tool must accept it: 4 bytes or more, the last two holding
// the CRC of the others, low byte first.
NO_COVERAGE inline bool reference_frame_ok(const uint8_t *frame, size_t length)
{
    if (length < 4)
        return false;
    uint16_t crc = reference_crc(frame, length - 2);
    return frame[length - 2] == (crc & 0xFF) && frame[length - 1] == (crc >> 8);
}
