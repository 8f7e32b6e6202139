#include "hid/report_descriptor.h"

#include "common/byte_reader.h"

namespace {

// Item prefix fields: size code in bits 0-1, type in 2-3, tag in 4-7.
constexpr uint8_t kLongItemPrefix = 0xFE;
constexpr uint8_t kTypeMain = 0, kTypeGlobal = 1, kTypeLocal = 2;
constexpr uint8_t kTagCollection = 0xA, kTagEndCollection = 0xC;
constexpr uint8_t kTagUsagePage = 0x0, kTagPush = 0xA, kTagPop = 0xB;
constexpr uint8_t kTagUsage = 0x0;
constexpr uint32_t kApplicationCollection = 0x01;
// Deeper Push nesting than this is nonsense in a real descriptor.
constexpr size_t kMaxPushDepth = 16;

}  // namespace

bool parseTopLevelCollections(const uint8_t* data, size_t size,
                              std::vector<TopLevelCollection>* collections) {
  ByteReader reader(data, size);
  uint32_t usagePage = 0;
  std::vector<uint32_t> pushedPages;
  bool haveUsage = false;
  uint32_t firstUsage = 0;
  size_t firstUsageWidth = 0;
  size_t depth = 0;
  while (!reader.atEnd()) {
    uint8_t prefix = 0;
    reader.readU8(&prefix);
    if (prefix == kLongItemPrefix) {
      uint8_t dataSize = 0, longTag = 0;
      if (!reader.readU8(&dataSize) || !reader.readU8(&longTag) || !reader.skip(dataSize))
        return false;
      continue;
    }
    static constexpr size_t kWidths[4] = {0, 1, 2, 4};
    const size_t width = kWidths[prefix & 0x3];
    const uint8_t type = (prefix >> 2) & 0x3;
    const uint8_t tag = prefix >> 4;
    uint32_t value = 0;
    if (!reader.readLe(width, &value)) return false;

    if (type == kTypeGlobal) {
      if (tag == kTagUsagePage) {
        usagePage = value;
      } else if (tag == kTagPush) {
        if (pushedPages.size() < kMaxPushDepth) pushedPages.push_back(usagePage);
      } else if (tag == kTagPop && !pushedPages.empty()) {
        usagePage = pushedPages.back();
        pushedPages.pop_back();
      }
    } else if (type == kTypeLocal) {
      if (tag == kTagUsage && !haveUsage) {
        haveUsage = true;
        firstUsage = value;
        firstUsageWidth = width;
      }
    } else if (type == kTypeMain) {
      if (tag == kTagCollection) {
        if (depth == 0 && value == kApplicationCollection) {
          TopLevelCollection collection;
          if (haveUsage && firstUsageWidth == 4) {
            collection.usagePage = static_cast<uint16_t>(firstUsage >> 16);
            collection.usage = static_cast<uint16_t>(firstUsage & 0xFFFF);
          } else {
            collection.usagePage = static_cast<uint16_t>(usagePage);
            collection.usage = static_cast<uint16_t>(haveUsage ? firstUsage : 0);
          }
          collections->push_back(collection);
        }
        ++depth;
      } else if (tag == kTagEndCollection) {
        if (depth > 0) --depth;
      }
      // Local items describe the one main item that follows them.
      haveUsage = false;
    }
  }
  return true;
}

bool hasTopLevelCollection(const std::vector<TopLevelCollection>& collections, uint16_t usagePage,
                           uint16_t usage) {
  for (const TopLevelCollection& c : collections)
    if (c.usagePage == usagePage && c.usage == usage) return true;
  return false;
}
