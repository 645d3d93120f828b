// Building test frames byte by byte.
#pragma once

#include "frames.h"

#include <cstdint>
#include <vector>

// `bytes` followed by their CRC-16/MODBUS, low byte first.
inline std::vector<uint8_t> with_crc(std::vector<uint8_t> bytes)
{
    bytes.resize(bytes.size() + 2);
    frame_put_crc(bytes.data(), (int32_t)bytes.size());
    return bytes;
}
