#include "common/sha256.h"

#include <cstdio>

#include "common/files.h"

bool Sha256Stream::finishHex(char text[2 * kSha256Bytes + 1]) {
  uint8_t digest[kSha256Bytes];
  if (!finish(digest)) return false;
  static constexpr char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < kSha256Bytes; ++i) {
    text[2 * i] = kDigits[digest[i] >> 4];
    text[2 * i + 1] = kDigits[digest[i] & 0xF];
  }
  text[2 * kSha256Bytes] = '\0';
  return true;
}

bool sha256Text(const uint8_t* data, size_t length, char text[2 * kSha256Bytes + 1]) {
  Sha256Stream stream;
  if (length != 0) stream.add(data, length);
  return stream.finishHex(text);
}

std::string sha256Hex(const uint8_t* data, size_t length) {
  char text[2 * kSha256Bytes + 1];
  return sha256Text(data, length, text) ? text : "";
}

bool fileSha256(const std::string& path, std::string* hex) {
  // Only a regular file ends: a FIFO would wait for a writer without bound.
  uint64_t size = 0;
  if (!regularFileSize(path, &size)) return false;
  std::FILE* file = openFile(path, "rb");
  if (file == nullptr) return false;
  Sha256Stream stream;
  unsigned char buffer[64 * 1024];
  size_t count;
  while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) stream.add(buffer, count);
  const bool readWhole = std::ferror(file) == 0;
  std::fclose(file);
  char text[2 * kSha256Bytes + 1];
  if (!readWhole || !stream.finishHex(text)) return false;
  *hex = text;
  return true;
}
