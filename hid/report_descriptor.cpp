#include "hid/report_descriptor.h"

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

class ItemReader {
 public:
  ItemReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool atEnd() const { return pos_ >= size_; }
  bool readByte(uint8_t* out) {
    if (pos_ >= size_) return false;
    *out = data_[pos_++];
    return true;
  }
  bool readLe(size_t width, uint32_t* out) {
    if (width > size_ - pos_) return false;
    uint32_t value = 0;
    for (size_t i = 0; i < width; ++i) value |= static_cast<uint32_t>(data_[pos_ + i]) << (8 * i);
    pos_ += width;
    *out = value;
    return true;
  }
  bool skip(size_t count) {
    if (count > size_ - pos_) return false;
    pos_ += count;
    return true;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace

bool parseTopLevelCollections(const uint8_t* data, size_t size,
                              std::vector<TopLevelCollection>* collections) {
  ItemReader reader(data, size);
  uint32_t usagePage = 0;
  std::vector<uint32_t> pushedPages;
  bool haveUsage = false;
  uint32_t firstUsage = 0;
  size_t firstUsageWidth = 0;
  size_t depth = 0;
  while (!reader.atEnd()) {
    uint8_t prefix = 0;
    reader.readByte(&prefix);
    if (prefix == kLongItemPrefix) {
      uint8_t dataSize = 0, longTag = 0;
      if (!reader.readByte(&dataSize) || !reader.readByte(&longTag) || !reader.skip(dataSize))
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

bool hasTopLevelCollection(const std::vector<TopLevelCollection>& collections,
                           uint16_t usagePage, uint16_t usage) {
  for (const TopLevelCollection& c : collections)
    if (c.usagePage == usagePage && c.usage == usage) return true;
  return false;
}
