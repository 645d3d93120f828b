// Building test frames byte by byte.
#pragma once

#include "frames.h"

#include <cstdint>
#include <vector>

// `bytes` followed by their CRC-16/MODBUS, low byte first.
inline std::vector<uint8_t> with_crc(std::vector<uint8_t> bytes)
{
    uint16_t crc = crc16_modbus(bytes.data(), (int32_t)bytes.size());
    bytes.push_back((uint8_t)(crc & 0xFF));
    bytes.push_back((uint8_t)(crc >> 8));
    return bytes;
}
