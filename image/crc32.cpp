#include "image/crc32.h"

#include <array>
#include <cstddef>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TAVRIN_CRC_CLMUL 1
#endif

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

uint32_t crcByTables(uint32_t crc, const uint8_t* data, uint32_t length) {
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

#ifdef TAVRIN_CRC_CLMUL
// Folding with carry-less multiplication (Gopal et al., "Fast CRC Computation
// for Generic Polynomials Using PCLMULQDQ Instruction", Intel, 2009): four
// 128-bit lanes fold 64 bytes per step, are folded into one, and a Barrett
// reduction gives the 32-bit register. The constants are the bit-reflected
// x^n mod P of that paper for P = 0x104C11DB7. length is a multiple of 16,
// at least 64; crc is the register before the bytes, and is returned after.
#define TAVRIN_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

TAVRIN_CLMUL_TARGET inline __m128i load(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// One 128-bit lane carried 128 (or 512) bits further, then the next bytes added.
TAVRIN_CLMUL_TARGET inline __m128i fold(__m128i x, __m128i k, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), next),
                       _mm_clmulepi64_si128(x, k, 0x00));
}

TAVRIN_CLMUL_TARGET uint32_t crcByFolding(uint32_t crc, const uint8_t* data, uint32_t length) {
  alignas(16) static const uint64_t k1k2[] = {0x0154442bd4, 0x01c6e41596};
  alignas(16) static const uint64_t k3k4[] = {0x01751997d0, 0x00ccaa009e};
  alignas(16) static const uint64_t k5k0[] = {0x0163cd6124, 0x0000000000};
  alignas(16) static const uint64_t poly[] = {0x01db710641, 0x01f7011641};
  __m128i x1 = _mm_xor_si128(load(data), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x2 = load(data + 16), x3 = load(data + 32), x4 = load(data + 48);
  __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(k1k2));
  data += 64;
  length -= 64;
  for (; length >= 64; data += 64, length -= 64) {
    x1 = fold(x1, k, load(data));
    x2 = fold(x2, k, load(data + 16));
    x3 = fold(x3, k, load(data + 32));
    x4 = fold(x4, k, load(data + 48));
  }
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(k3k4));
  x1 = fold(fold(fold(x1, k, x2), k, x3), k, x4);
  for (; length >= 16; data += 16, length -= 16) x1 = fold(x1, k, load(data));

  // 128 bits to 64, then the Barrett reduction to 32.
  const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k, 0x10));
  k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(k5k0));
  x1 =
      _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k, 0x00), _mm_srli_si128(x1, 4));
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(poly));
  __m128i x2r = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), k, 0x10);
  x2r = _mm_clmulepi64_si128(_mm_and_si128(x2r, low32), k, 0x00);
  return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, x2r), 1));
}

// The run-time's own record of the processor, read at once (no cache of ours).
bool canFold() {
  return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}
#endif

}  // namespace

uint32_t crc32NoFinalXor(const uint8_t* data, uint32_t length) {
  uint32_t crc = 0xFFFFFFFFu;
#ifdef TAVRIN_CRC_CLMUL
  // Large images (a raw file of many MiB) go through the folding path.
  if (length >= 256 && canFold()) {
    const uint32_t folded = length & ~15u;
    crc = crcByFolding(crc, data, folded);
    data += folded;
    length -= folded;
  }
#endif
  return crcByTables(crc, data, length);
}
