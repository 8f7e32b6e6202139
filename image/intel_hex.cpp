#include "image/intel_hex.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "image/byte_reader.h"

namespace {

// Addresses are masked to the smallest power of two above the buffer size, so
// linear addresses wrap every 256 KiB; the bound test drops the upper half.
constexpr uint32_t kAddressMask = 0x3FFFF;
// The data text (data pairs plus checksum pair) of one line is at most this long.
constexpr size_t kMaxDataText = 4095;
// Kept prefix of an over-long line: ':' + 8 field digits + one character more
// than the longest data text, enough to tell that the data text is too long.
constexpr size_t kKeptLine = 1 + 8 + kMaxDataText + 1;
constexpr size_t kFileBlock = 64 * 1024;

enum class Addressing { None, Linear, Segment };

enum RecordType : uint8_t { kData = 0, kSegmentAddress = 2, kLinearAddress = 4 };

constexpr int8_t hexValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<int8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int8_t>(c - 'A' + 10);
  return -1;
}

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads `digits` hex digits at p; false when any of them is not a hex digit.
bool readHex(const char* p, int digits, uint32_t* out) {
  uint32_t value = 0;
  for (int i = 0; i < digits; ++i) {
    int8_t v = hexValue(p[i]);
    if (v < 0) return false;
    value = (value << 4) | static_cast<uint32_t>(v);
  }
  *out = value;
  return true;
}

// One pass: applies lines to the image and tracks the current position.
class HexPass {
 public:
  explicit HexPass(uint8_t* image) : image_(image) {}

  // Feeds a block of text; lines may span blocks. False once a line fails.
  bool feed(const char* data, size_t size) {
    while (size > 0) {
      const char* lf = static_cast<const char*>(std::memchr(data, '\n', size));
      size_t segment = lf ? static_cast<size_t>(lf - data) : size;
      if (!carrying_ && lf) {
        if (!applyLine(data, segment)) return false;
      } else {
        // Only a bounded prefix of a line is kept; see kKeptLine.
        size_t take = std::min(segment, kKeptLine - carryLength_);
        std::memcpy(carry_ + carryLength_, data, take);
        carryLength_ += take;
        carrying_ = true;
        if (lf) {
          carrying_ = false;
          size_t length = carryLength_;
          carryLength_ = 0;
          if (!applyLine(carry_, length)) return false;
        }
      }
      size_t consumed = lf ? segment + 1 : segment;
      data += consumed;
      size -= consumed;
    }
    return true;
  }

  // Applies a last line without a line end; reports the length.
  bool finish(uint32_t* length) {
    if (carrying_) {
      carrying_ = false;
      if (!applyLine(carry_, carryLength_)) return false;
    }
    // A position set by an extended-address record, or by a data record that
    // was dropped, can lie beyond the buffer; such a length is never reported.
    if (position_ > kHexImageSize) return false;
    *length = position_;
    return true;
  }

 private:
  bool applyLine(const char* line, size_t size) {
    // Nothing converts from a line without ':' and a first digit: no effect.
    if (size < 2 || line[0] != ':' || hexValue(line[1]) < 0) return true;
    // From here on the line must be a whole record: a partial match fails.
    uint32_t count, address, type;
    if (size < 9 || !readHex(line + 1, 2, &count) || !readHex(line + 3, 4, &address) ||
        !readHex(line + 7, 2, &type))
      return false;
    const char* text = line + 9;
    size_t textLength = 0;
    while (9 + textLength < size && !isSpace(text[textLength])) ++textLength;
    if (textLength == 0 || textLength > kMaxDataText) return false;
    uint32_t sum = count + (address >> 8) + (address & 0xFF) + type;

    switch (type) {
      case kData:
        return applyData(count, address, text, textLength, sum);
      case kSegmentAddress:
      case kLinearAddress: {
        Addressing wanted = type == kSegmentAddress ? Addressing::Segment : Addressing::Linear;
        // The first extended-address record fixes the addressing mode; records
        // of the other mode are dropped unchecked.
        if (mode_ == Addressing::None) mode_ = wanted;
        if (mode_ != wanted) return true;
        uint32_t value, checksum;
        if (textLength < 6 || !readHex(text, 4, &value) || !readHex(text + 4, 2, &checksum))
          return false;
        sum += (value >> 8) + (value & 0xFF) + checksum;
        if ((sum & 0xFF) != 0) return false;
        if (type == kSegmentAddress) {
          segmentBase_ = value;
          position_ = (value << 4) & kAddressMask;
        } else {
          linearUpper_ = value;
          position_ = (value << 16) & kAddressMask;
        }
        return true;
      }
      default:
        return true;  // end-of-file and other records are ignored; reading goes on
    }
  }

  bool applyData(uint32_t count, uint32_t address, const char* text, size_t textLength,
                 uint32_t sum) {
    if (count == 0) return true;
    uint32_t start = mode_ == Addressing::Segment
                         ? segmentBase_ * 16 + address
                         : ((linearUpper_ << 16) + address) & kAddressMask;
    position_ = start;
    if (start + count > kHexImageSize) return true;  // dropped unchecked
    if (textLength < 2 * (static_cast<size_t>(count) + 1)) return false;
    for (uint32_t i = 0; i <= count; ++i) {
      uint32_t byte;
      if (!readHex(text + 2 * i, 2, &byte)) return false;
      sum += byte;
      if (i < count) image_[start + i] = static_cast<uint8_t>(byte);
    }
    // The bytes are stored before the checksum is known, as the pass fails anyway.
    position_ = start + count;
    return (sum & 0xFF) == 0;
  }

  uint8_t* image_;
  Addressing mode_ = Addressing::None;
  uint32_t segmentBase_ = 0;
  uint32_t linearUpper_ = 0;
  uint32_t position_ = 0;
  bool carrying_ = false;
  size_t carryLength_ = 0;
  char carry_[kKeptLine];
};

uint8_t* installBuffer(uint8_t fill, uint8_t*& imageData) {
  uint8_t* buffer = new (std::nothrow) uint8_t[kHexImageSize];
  if (buffer == nullptr) return nullptr;
  delete[] imageData;
  imageData = buffer;
  std::memset(buffer, fill, kHexImageSize);
  return buffer;
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

template <typename Pass>
int runPasses(Pass pass, uint8_t*& imageData) {
  if (!pass(uint8_t{0x00})) return kHexReadFailed;
  uint32_t nvmType;
  if (!findNvmType(imageData, &nvmType)) return kHexNoSectionInfo;
  switch (nvmType) {
    case 0x2C0:
    case 0x3C0:
      return kHexLoaded;
    case 0x2000:
    case 0x3000:
    case 0x4000:
      // Flash targets: unwritten bytes must read as erased flash.
      return pass(uint8_t{0xFF}) ? kHexLoaded : kHexReadFailed;
    default:
      return kHexUnknownNvmType;
  }
}

}  // namespace

bool readIntelHex(const char* text, size_t size, uint8_t fill, uint8_t*& imageData,
                  uint32_t& imageLength) {
  uint8_t* image = installBuffer(fill, imageData);
  if (image == nullptr) return false;
  auto pass = std::make_unique<HexPass>(image);
  return pass->feed(text, size) && pass->finish(&imageLength);
}

bool readIntelHexFile(const std::string& path, uint8_t fill, uint8_t*& imageData,
                      uint32_t& imageLength) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return false;
  std::unique_ptr<char[]> block(new (std::nothrow) char[kFileBlock]);
  if (!block) return false;
  uint8_t* image = installBuffer(fill, imageData);
  if (image == nullptr) return false;
  auto pass = std::make_unique<HexPass>(image);
  for (;;) {
    size_t got = std::fread(block.get(), 1, kFileBlock, file.get());
    if (got > 0 && !pass->feed(block.get(), got)) return false;
    if (got < kFileBlock) break;
  }
  if (std::ferror(file.get())) return false;
  return pass->finish(&imageLength);
}

bool findNvmType(const uint8_t* image, uint32_t* nvmType) {
  // Entries must begin within the first 256 bytes; the reads below then stay
  // far inside the buffer.
  uint32_t offset = 0;
  while (offset < 256) {
    ByteReader entry(image + offset, kHexImageSize - offset);
    uint8_t kind;
    uint16_t size;
    if (!entry.readU8(&kind) || kind == 0 || !entry.readLe16(&size)) return false;
    if (kind == 2) return entry.readLe32(nvmType);
    offset += 3u + size;
  }
  return false;
}

int loadHexImage(const std::string& path, uint8_t*& imageData, uint32_t& imageLength) {
  return runPasses(
      [&](uint8_t fill) { return readIntelHexFile(path, fill, imageData, imageLength); },
      imageData);
}

int loadHexImageFromText(const char* text, size_t size, uint8_t*& imageData,
                         uint32_t& imageLength) {
  return runPasses(
      [&](uint8_t fill) { return readIntelHex(text, size, fill, imageData, imageLength); },
      imageData);
}
