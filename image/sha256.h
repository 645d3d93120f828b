// SHA-256 of a byte range, for naming an image beyond doubt in descriptions and
// station records (the CRC-16 the target checks is too short for that).
#pragma once

#include <cstddef>
#include <cstdint>

#define SHA256_DIGEST_SIZE 32
#define SHA256_HEX_SIZE 65 // 64 hex digits and the terminating zero

void sha256(const uint8_t *data, size_t length, uint8_t digest[SHA256_DIGEST_SIZE]);

// The digest as 64 lower-case hex digits.
void sha256_hex(const uint8_t *data, size_t length, char hex[SHA256_HEX_SIZE]);
