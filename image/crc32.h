// The one CRC of the program: reflected CRC-32 (polynomial 0xEDB88320),
// register preset 0xFFFFFFFF, no final inversion (CRC-32/JAMCRC).
#pragma once

#include <cstdint>

/// CRC of `length` bytes at `data`; no bytes give 0xFFFFFFFF. The result is
/// the bitwise complement of zlib's crc32 over the same bytes.
uint32_t crc32NoFinalXor(const uint8_t* data, uint32_t length);
