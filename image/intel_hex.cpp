#include "image/intel_hex.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/byte_reader.h"
#include "common/files.h"

namespace {

// Addresses are masked to the smallest power of two above the buffer size, so
// linear addresses wrap every 256 KiB; the bound test drops the upper half.
constexpr uint32_t kAddressMask = 0x3FFFF;
// The longest whole record: ':', 8 field digits, 255 data pairs and the
// checksum pair. Of a longer line only this much is kept; the rest may hold
// nothing but white space.
constexpr size_t kKeptLine = 1 + 8 + 2 * (255 + 1);
constexpr size_t kFileBlock = 64 * 1024;

enum class Addressing { kNone, kLinear, kSegment };

enum RecordType : uint8_t { kData = 0, kSegmentAddress = 2, kLinearAddress = 4 };

// Character classes by table: the parser touches every character of the file.
constexpr uint8_t kNotHex = 0xFF;
constexpr uint8_t kSpace = 0xFE;

constexpr std::array<uint8_t, 256> makeClasses() {
  std::array<uint8_t, 256> table{};
  for (int c = 0; c < 256; ++c) {
    uint8_t value = kNotHex;
    if (c >= '0' && c <= '9') value = static_cast<uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f') value = static_cast<uint8_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') value = static_cast<uint8_t>(c - 'A' + 10);
    if (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r') value = kSpace;
    table[static_cast<size_t>(c)] = value;
  }
  return table;
}

constexpr std::array<uint8_t, 256> kClasses = makeClasses();

uint8_t classOf(char c) {
  return kClasses[static_cast<uint8_t>(c)];
}
bool isHexDigit(char c) {
  return classOf(c) < 16;
}
bool isSpace(char c) {
  return classOf(c) == kSpace;
}

// Reads `digits` hex digits at p; false when any of them is not a hex digit.
bool readHex(const char* p, int digits, uint32_t* out) {
  uint32_t value = 0;
  for (int i = 0; i < digits; ++i) {
    uint8_t v = classOf(p[i]);
    if (v >= 16) return false;
    value = (value << 4) | v;
  }
  *out = value;
  return true;
}

// One pass: applies lines to the image and tracks the current position.
class HexPass {
 public:
  // `written`, when given, is a bitmap of kHexImageSize bits that receives a
  // bit for every byte stored.
  HexPass(uint8_t* image, uint8_t* written) : image_(image), written_(written) {}

  // Feeds a block of text; lines end at LF, and may span blocks. False once
  // a line fails. The CR of a CR LF end stays in the line as white space.
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
        for (size_t i = take; i < segment && !carryClipped_; ++i) carryClipped_ = !isSpace(data[i]);
        carrying_ = true;
        if (lf && !applyCarried()) return false;
      }
      size_t consumed = lf ? segment + 1 : segment;
      data += consumed;
      size -= consumed;
    }
    return true;
  }

  // Applies a last line without a line end; reports the length.
  bool finish(uint32_t* length) {
    if (carrying_ && !applyCarried()) return false;
    // A position set by an extended-address record, or by a data record that
    // was dropped, can lie beyond the buffer; such a length is never reported.
    if (position_ > kHexImageSize) return false;
    *length = position_;
    return true;
  }

 private:
  bool applyCarried() {
    const bool clipped = carryClipped_;
    const size_t length = carryLength_;
    carrying_ = false;
    carryClipped_ = false;
    carryLength_ = 0;
    // Text beyond the longest record cannot belong to a whole one.
    if (clipped && length > 0 && carry_[0] == ':') return false;
    return applyLine(carry_, length);
  }

  bool applyLine(const char* line, size_t size) {
    // Lines that do not begin with a colon have no effect.
    if (size == 0 || line[0] != ':') return true;
    // A record line must be a whole record: count, address, type, the data
    // pairs, the checksum pair, then nothing but white space. Anything less
    // would drop or cut a record without a word.
    uint32_t count, address, type;
    if (size < 9 || !readHex(line + 1, 2, &count) || !readHex(line + 3, 4, &address) ||
        !readHex(line + 7, 2, &type))
      return false;
    const char* text = line + 9;
    const size_t pairsLength = 2 * (static_cast<size_t>(count) + 1);
    if (size - 9 < pairsLength || !onlySpace(text + pairsLength, size - 9 - pairsLength))
      return false;
    uint32_t sum = count + (address >> 8) + (address & 0xFF) + type;
    if (type == kData) return applyData(count, address, text, sum);
    if (!allHex(text, pairsLength)) return false;

    switch (type) {
      case kSegmentAddress:
      case kLinearAddress: {
        Addressing wanted = type == kSegmentAddress ? Addressing::kSegment : Addressing::kLinear;
        // The first extended-address record fixes the addressing mode; records
        // of the other mode are dropped unchecked.
        if (mode_ == Addressing::kNone) mode_ = wanted;
        if (mode_ != wanted) return true;
        uint32_t value, checksum;
        if (pairsLength < 6 || !readHex(text, 4, &value) || !readHex(text + 4, 2, &checksum))
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

  static bool onlySpace(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i)
      if (!isSpace(text[i])) return false;
    return true;
  }

  static bool allHex(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i)
      if (!isHexDigit(text[i])) return false;
    return true;
  }

  // The data pairs and the checksum pair are known to be there.
  bool applyData(uint32_t count, uint32_t address, const char* text, uint32_t sum) {
    uint32_t start = mode_ == Addressing::kSegment
                         ? segmentBase_ * 16 + address
                         : ((linearUpper_ << 16) + address) & kAddressMask;
    if (count == 0 || start + count > kHexImageSize) {
      // Ignored or dropped unchecked, but still a whole record.
      if (!allHex(text, 2 * (static_cast<size_t>(count) + 1))) return false;
      if (count != 0) position_ = start;
      return true;
    }
    position_ = start;
    uint8_t* out = image_ + start;
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t high = classOf(text[2 * i]);
      const uint8_t low = classOf(text[2 * i + 1]);
      if ((high | low) >= 16) return false;
      out[i] = static_cast<uint8_t>(high << 4 | low);
      sum += out[i];
    }
    const uint8_t high = classOf(text[2 * count]);
    const uint8_t low = classOf(text[2 * count + 1]);
    if ((high | low) >= 16) return false;
    sum += static_cast<uint32_t>(high << 4 | low);
    if (written_ != nullptr) markWritten(start, count);
    // The bytes are stored before the checksum is known, as the pass fails anyway.
    position_ = start + count;
    return (sum & 0xFF) == 0;
  }

  // Whole bytes of the bitmap at once where the range covers them.
  void markWritten(uint32_t start, uint32_t count) {
    uint32_t at = start;
    const uint32_t end = start + count;
    for (; at < end && (at & 7) != 0; ++at) written_[at >> 3] |= uint8_t(1u << (at & 7));
    if (end - at >= 8) {
      std::memset(written_ + (at >> 3), 0xFF, (end - at) >> 3);
      at += (end - at) & ~7u;
    }
    for (; at < end; ++at) written_[at >> 3] |= uint8_t(1u << (at & 7));
  }

  uint8_t* image_;
  uint8_t* written_;
  Addressing mode_ = Addressing::kNone;
  uint32_t segmentBase_ = 0;
  uint32_t linearUpper_ = 0;
  uint32_t position_ = 0;
  bool carrying_ = false;
  bool carryClipped_ = false;  ///< the carried line lost text that was not white space
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

bool passOverText(const char* text, size_t size, uint8_t fill, uint8_t*& imageData,
                  uint32_t& imageLength, uint8_t* written) {
  uint8_t* image = installBuffer(fill, imageData);
  if (image == nullptr) return false;
  auto pass = std::make_unique<HexPass>(image, written);
  return pass->feed(text, size) && pass->finish(&imageLength);
}

bool passOverFile(const std::string& path, uint8_t fill, uint8_t*& imageData, uint32_t& imageLength,
                  uint8_t* written, int* fileError) {
  // Only a regular file ends: opening a FIFO waits for a writer without
  // bound, and a device such as /dev/zero would be read for ever.
  uint64_t size = 0;
  if (!regularFileSize(path, &size)) {
    if (fileError != nullptr) *fileError = errno;
    return false;
  }
  std::unique_ptr<std::FILE, FileCloser> file(openFile(path, "rb"));
  if (!file) {
    if (fileError != nullptr) *fileError = errno;
    return false;
  }
  std::unique_ptr<char[]> block(new (std::nothrow) char[kFileBlock]);
  if (!block) return false;
  uint8_t* image = installBuffer(fill, imageData);
  if (image == nullptr) return false;
  auto pass = std::make_unique<HexPass>(image, written);
  for (;;) {
    size_t got = std::fread(block.get(), 1, kFileBlock, file.get());
    if (got > 0 && !pass->feed(block.get(), got)) return false;
    if (got < kFileBlock) break;
  }
  if (std::ferror(file.get())) {
    if (fileError != nullptr) *fileError = errno != 0 ? errno : EIO;
    return false;
  }
  return pass->finish(&imageLength);
}

// The second pass with fill 0xFF would apply the same records to a buffer
// preset to 0xFF, so its image equals the first one with every byte that no
// record stored set to 0xFF. Refilling those bytes in place halves the work.
template <typename Pass>
HexLoadResult runPasses(Pass pass, uint8_t*& imageData) {
  std::unique_ptr<uint8_t[]> written(new (std::nothrow) uint8_t[kHexImageSize / 8]());
  if (!written || !pass(uint8_t{0x00}, written.get())) return kHexReadFailed;
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
      for (uint32_t group = 0; group < kHexImageSize / 8; ++group) {
        if (written[group] == 0xFF) continue;
        for (uint32_t bit = 0; bit < 8; ++bit)
          if ((written[group] & (1u << bit)) == 0) imageData[group * 8 + bit] = 0xFF;
      }
      return kHexLoaded;
    default:
      return kHexUnknownNvmType;
  }
}

}  // namespace

bool readIntelHex(const char* text, size_t size, uint8_t fill, uint8_t*& imageData,
                  uint32_t& imageLength) {
  return passOverText(text, size, fill, imageData, imageLength, nullptr);
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

HexLoadResult loadHexImage(const std::string& path, uint8_t*& imageData, uint32_t& imageLength,
                           int* fileError) {
  return runPasses(
      [&](uint8_t fill, uint8_t* written) {
        return passOverFile(path, fill, imageData, imageLength, written, fileError);
      },
      imageData);
}

HexLoadResult loadHexImageFromText(const char* text, size_t size, uint8_t*& imageData,
                                   uint32_t& imageLength) {
  return runPasses(
      [&](uint8_t fill, uint8_t* written) {
        return passOverText(text, size, fill, imageData, imageLength, written);
      },
      imageData);
}
