// Builders of firmware files for tests and the example generator (not part of
// the program).
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "image/crc32.h"

namespace testimage {

using Bytes = std::vector<uint8_t>;

inline std::string hexByte(unsigned value) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", value & 0xFFu);
  return text;
}

/// One Intel HEX line (no line end) with its checksum, plus `sumError` added
/// to the checksum byte.
inline std::string hexRecord(uint8_t type, uint16_t address, const Bytes& data, int sumError = 0) {
  unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
  std::string line = ":" + hexByte(static_cast<unsigned>(data.size())) + hexByte(address >> 8) +
                     hexByte(address & 0xFF) + hexByte(type);
  for (uint8_t b : data) {
    line += hexByte(b);
    sum += b;
  }
  return line + hexByte((0x100 - (sum & 0xFF) + static_cast<unsigned>(sumError)) & 0xFF);
}

inline std::string hexData(uint16_t address, const Bytes& data, int sumError = 0) {
  return hexRecord(0, address, data, sumError) + "\n";
}
inline std::string hexLinear(uint16_t upper, int sumError = 0) {
  return hexRecord(4, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)},
                   sumError) +
         "\n";
}
inline std::string hexSegment(uint16_t base, int sumError = 0) {
  return hexRecord(2, 0, {static_cast<uint8_t>(base >> 8), static_cast<uint8_t>(base)}, sumError) +
         "\n";
}
inline const char* hexEnd() {
  return ":00000001FF\n";
}

/// A section table holding only the NVM-type entry, then the end entry.
inline Bytes sectionTable(uint32_t nvmType) {
  return {2,
          4,
          0,
          static_cast<uint8_t>(nvmType),
          static_cast<uint8_t>(nvmType >> 8),
          static_cast<uint8_t>(nvmType >> 16),
          static_cast<uint8_t>(nvmType >> 24),
          0};
}

/// Intel HEX text of `image` at address 0, 16 bytes a line, with an end record.
inline std::string hexOfImage(const Bytes& image) {
  std::string text;
  for (size_t at = 0; at < image.size(); at += 16) {
    size_t end = std::min(image.size(), at + 16);
    text += hexData(static_cast<uint16_t>(at), Bytes(image.begin() + static_cast<long>(at),
                                                     image.begin() + static_cast<long>(end)));
  }
  return text + hexEnd();
}

inline Bytes nibbleSwapped(Bytes bytes) {
  for (uint8_t& b : bytes) b = static_cast<uint8_t>((b << 4) | (b >> 4));
  return bytes;
}

inline Bytes le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

struct Record {
  uint8_t tag;
  Bytes value;
};

/// A container of `version` with these records in plain form, followed by
/// the header-CRC record (unless `withHeaderCrc` is false) and the payload
/// given in stored form; all returned in stored form.
inline Bytes containerFile(uint8_t version, const std::vector<Record>& records,
                           const Bytes& storedPayload, bool withHeaderCrc = true,
                           uint32_t headerCrcError = 0) {
  Bytes plain = {'q', 'f', 'w', version};
  for (const Record& r : records) {
    plain.push_back(r.tag);
    plain.push_back(static_cast<uint8_t>(r.value.size()));
    plain.insert(plain.end(), r.value.begin(), r.value.end());
  }
  if (withHeaderCrc) {
    uint32_t crc =
        crc32NoFinalXor(plain.data(), static_cast<uint32_t>(plain.size())) ^ headerCrcError;
    plain.push_back(version == 1 ? 6 : 0xA4);
    plain.push_back(4);
    Bytes v = le32(crc);
    plain.insert(plain.end(), v.begin(), v.end());
  }
  Bytes file = nibbleSwapped(plain);
  file.insert(file.end(), storedPayload.begin(), storedPayload.end());
  return file;
}

inline Bytes textValue(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

/// A well-formed container: model, version, CRC, check word, length records.
inline Bytes simpleContainer(uint8_t version, const std::string& model,
                             const std::string& fwVersion, const Bytes& storedPayload,
                             uint32_t checkWord, std::vector<Record> extra = {}) {
  uint32_t crc = crc32NoFinalXor(storedPayload.data(), static_cast<uint32_t>(storedPayload.size()));
  uint8_t crcTag = version == 1 ? 3 : 0xA1;
  std::vector<Record> records = {{1, textValue(model)}, {2, textValue(fwVersion)}};
  records.insert(records.end(), extra.begin(), extra.end());
  records.push_back({crcTag, le32(crc)});
  records.push_back({static_cast<uint8_t>(crcTag + 1), le32(checkWord)});
  records.push_back(
      {static_cast<uint8_t>(crcTag + 2), le32(static_cast<uint32_t>(storedPayload.size()))});
  return containerFile(version, records, storedPayload);
}

/// "ABabQXFW" followed by `records` (raw bytes).
inline Bytes infoBlock(const Bytes& records) {
  Bytes block = {'A', 'B', 'a', 'b', 'Q', 'X', 'F', 'W'};
  block.insert(block.end(), records.begin(), records.end());
  return block;
}

inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
inline void writeFile(const std::filesystem::path& path, const Bytes& bytes) {
  writeFile(path, std::string(bytes.begin(), bytes.end()));
}
inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/// A fresh directory under the system temp directory, removed on destruction.
class TempDir {
 public:
  TempDir() {
    std::random_device random;
    for (;;) {
      path_ = std::filesystem::temp_directory_path() / ("tavrin-test-" + std::to_string(random()));
      if (std::filesystem::create_directory(path_)) break;
    }
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace testimage
