#include "image/container.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "common/byte_reader.h"
#include "image/crc32.h"
#include "image/file_reader.h"

namespace {

// The tags that differ between the two format versions.
struct TagSet {
  uint8_t payloadCrc;
  uint8_t checkWord;
  uint8_t payloadLength;
  uint8_t headerCrc;  // ends the list; also the highest tag read
  bool version2;
};

constexpr TagSet kVersion1Tags{3, 4, 5, 6, false};
constexpr TagSet kVersion2Tags{0xA1, 0xA2, 0xA3, 0xA4, true};

enum CommonTag : uint8_t { kModelTag = 1, kVersionTag = 2, kMaskTag = 3, kWordsTag = 4 };

uint8_t nibbleSwap(uint8_t b) {
  return static_cast<uint8_t>((b << 4) | (b >> 4));
}

void swapAll(uint8_t* data, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) data[i] = nibbleSwap(data[i]);
}

std::string textOf(const uint8_t* value, uint8_t length) {
  const void* nul = std::memchr(value, 0, length);
  size_t size = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - value) : length;
  return std::string(reinterpret_cast<const char*>(value), size);
}

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Reads the tag list of a plain buffer; on success *end is the offset just
// behind the header-CRC value and *headerCrc that value.
bool walkTags(const uint8_t* data, uint32_t length, const TagSet& tags, ContainerHeader& header,
              uint32_t* end, uint32_t* headerCrc) {
  ByteReader reader(data, length);
  if (!reader.skip(4)) return false;
  for (;;) {
    uint8_t tag, size;
    const uint8_t* value;
    // Running out of bytes before the header-CRC tag leaves the list without
    // its end, as does a tag 0 or one above the header-CRC tag.
    if (!reader.readU8(&tag) || tag == 0 || tag > tags.headerCrc) return false;
    if (!reader.readU8(&size) || !reader.readBytes(size, &value)) return false;
    bool fourByteTag =
        tags.version2 ? tag >= tags.payloadCrc : tag >= tags.payloadCrc && tag <= tags.headerCrc;
    // The 32-bit fields are exactly 4 bytes wide: any other length is a
    // damaged header, not a value to guess at.
    if (fourByteTag && size != 4) return false;
    if (tag == kModelTag) {
      header.model = textOf(value, size);
    } else if (tag == kVersionTag) {
      header.version = textOf(value, size);
    } else if (tag == tags.payloadCrc) {
      header.payloadCrc = le32(value);
    } else if (tag == tags.checkWord) {
      header.checkWord = le32(value);
    } else if (tag == tags.payloadLength) {
      header.payloadLength = le32(value);
    } else if (tag == tags.headerCrc) {
      *headerCrc = le32(value);
      *end = static_cast<uint32_t>(reader.position());
      return true;
    } else if (tags.version2 && tag == kMaskTag) {
      if (size < 1) return false;
      header.protocolMask = value[0];
    } else if (tags.version2 && tag == kWordsTag) {
      if (size < 4) return false;
      header.word1 = static_cast<uint16_t>(value[0] | value[1] << 8);
      header.word2 = static_cast<uint16_t>(value[2] | value[3] << 8);
    }
    // Every other tag is skipped whole.
  }
}

bool parseHeader(uint8_t* data, uint32_t length, ContainerHeader& header, const TagSet& tags) {
  swapAll(data, length);
  uint32_t end = 0, storedCrc = 0;
  if (!walkTags(data, length, tags, header, &end, &storedCrc)) return false;
  // The header CRC covers everything before the header-CRC record.
  if (crc32NoFinalXor(data, end - 6) != storedCrc) return false;
  header.headerLength = end;
  swapAll(data, length);
  return static_cast<uint64_t>(header.headerLength) + header.payloadLength == length;
}

}  // namespace

bool parseV1FileHeader(uint8_t* data, uint32_t length, ContainerHeader& header) {
  return parseHeader(data, length, header, kVersion1Tags);
}

bool parseV2FileHeader(uint8_t* data, uint32_t length, ContainerHeader& header) {
  return parseHeader(data, length, header, kVersion2Tags);
}

bool parseContainerBuffer(uint8_t* data, uint32_t length, ContainerHeader& header,
                          uint8_t*& imageData, uint32_t& imageLength) {
  header.protocolMask = 0xAA;
  header.word1 = 0;
  header.word2 = 0;
  header.formatVersion = 0;
  // Magic (3 bytes) and version; the tag walk itself refuses a file that
  // ends there.
  if (length < 4) return false;
  uint8_t magic[4];
  for (int i = 0; i < 4; ++i) magic[i] = nibbleSwap(data[i]);
  if (std::memcmp(magic, "qfw", 3) == 0) header.formatVersion = magic[3];
  bool accepted = false;
  if (header.formatVersion == 1) {
    accepted = parseV1FileHeader(data, length, header);
  } else if (header.formatVersion == 2) {
    accepted = parseV2FileHeader(data, length, header);
  }
  if (!accepted) return false;

  uint8_t* payload = new (std::nothrow) uint8_t[header.payloadLength];
  if (payload == nullptr) return false;
  std::memcpy(payload, data + header.headerLength, header.payloadLength);
  delete[] imageData;
  imageData = payload;
  imageLength = header.payloadLength;
  return crc32NoFinalXor(payload, header.payloadLength) == header.payloadCrc;
}

bool parseContainer(std::string path, ContainerHeader& header, uint8_t*& imageData,
                    uint32_t& imageLength, int* fileError) {
  std::unique_ptr<uint8_t[]> file;
  uint32_t length = 0;
  if (!readWholeFile(path, file, length, fileError)) return false;
  return parseContainerBuffer(file.get(), length, header, imageData, imageLength);
}
