#include "image/crc32.h"

#include <array>
#include <cstddef>

namespace {

using Tables = std::array<std::array<uint32_t, 256>, 8>;

// Slicing-by-8 tables: tables[0] is the classic byte table; tables[k] advances
// a byte through k further zero bytes. Eight bytes then cost eight lookups and
// no serial dependency per byte, which matters for a 128 KiB image. The values
// are those of the eight shift-and-XOR steps per byte.
constexpr Tables makeTables() {
  Tables tables{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t x = n;
    for (int bit = 0; bit < 8; ++bit) x = (x & 1u) ? (x >> 1) ^ 0xEDB88320u : x >> 1;
    tables[0][n] = x;
  }
  for (std::size_t k = 1; k < 8; ++k)
    for (uint32_t n = 0; n < 256; ++n)
      tables[k][n] = (tables[k - 1][n] >> 8) ^ tables[0][tables[k - 1][n] & 0xFFu];
  return tables;
}

constexpr Tables kTables = makeTables();

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

uint32_t crc32NoFinalXor(const uint8_t* data, uint32_t length) {
  uint32_t crc = 0xFFFFFFFFu;
  uint32_t i = 0;
  for (; length - i >= 8; i += 8) {
    uint32_t one = crc ^ le32(data + i);
    uint32_t two = le32(data + i + 4);
    crc = kTables[7][one & 0xFF] ^ kTables[6][(one >> 8) & 0xFF] ^ kTables[5][(one >> 16) & 0xFF] ^
          kTables[4][one >> 24] ^ kTables[3][two & 0xFF] ^ kTables[2][(two >> 8) & 0xFF] ^
          kTables[1][(two >> 16) & 0xFF] ^ kTables[0][two >> 24];
  }
  for (; i < length; ++i) crc = (crc >> 8) ^ kTables[0][(crc ^ data[i]) & 0xFFu];
  return crc;
}
