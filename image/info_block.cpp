#include "image/info_block.h"

#include <cstring>
#include <string>


namespace {

constexpr char kMagic[8] = {'A', 'B', 'a', 'b', 'Q', 'X', 'F', 'W'};

enum InfoTag : uint8_t { kEndTag = 0, kModelTag = 1, kVersionTag = 2, kMaskTag = 3, kWordsTag = 4 };

// Lowest offset of the magic with at least one byte after it, or -1.
int64_t findMagic(const uint8_t* data, uint32_t length) {
  if (length <= sizeof kMagic) return -1;
  uint32_t last = length - sizeof kMagic - 1;  // i + 8 < length
  for (uint32_t i = 0; i <= last;) {
    const void* hit = std::memchr(data + i, kMagic[0], last - i + 1);
    if (hit == nullptr) return -1;
    i = static_cast<uint32_t>(static_cast<const uint8_t*>(hit) - data);
    if (std::memcmp(data + i, kMagic, sizeof kMagic) == 0) return i;
    ++i;
  }
  return -1;
}

}  // namespace

void scanInfoBlock(FirmwareInfo& info, const uint8_t* data, uint32_t length, uint32_t bufferSize) {
  info.protocolMask = 0xAA;
  if (data == nullptr) return;
  if (length > bufferSize) length = bufferSize;
  int64_t found = findMagic(data, length);
  if (found < 0) return;

  // 64-bit offsets: a length byte can move the walk well past a 32-bit end.
  const uint64_t end = bufferSize;
  uint64_t t = static_cast<uint64_t>(found) + sizeof kMagic;
  for (;;) {
    if (t >= end || data[t] == kEndTag) return;
    uint8_t tag = data[t];
    if (t + 1 >= end) return;
    uint8_t l = data[t + 1];
    uint64_t v = t + 2;
    switch (tag) {
      case kModelTag:
      case kVersionTag: {
        // The string takes L bytes from the value on: the L - 1 value bytes and
        // the next record's tag, cut at the first NUL.
        if (v + l > end) return;
        const char* text = reinterpret_cast<const char*>(data + v);
        const void* nul = std::memchr(text, 0, l);
        size_t size = nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : l;
        (tag == kModelTag ? info.model : info.version).assign(text, size);
        t = v + l - 1;
        break;
      }
      case kMaskTag:
        // Always three bytes long, whatever its length byte says.
        if (v >= end) return;
        info.protocolMask = data[v];
        t = v + 1;
        break;
      case kWordsTag:
        if (v + 4 > end) return;
        info.word1 = static_cast<uint16_t>(data[v] | data[v + 1] << 8);
        info.word2 = static_cast<uint16_t>(data[v + 2] | data[v + 3] << 8);
        t = v + l - 1;
        break;
      default:
        t = v + l - 1;
        break;
    }
  }
}
