// The system's own SHA-256 (CNG): nothing to ship beside tavrin.exe.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/files.h"
#include "common/sha256.h"

namespace {

// Feeds bytes to a hash; read(buffer, size) returns how many it put there,
// 0 at the end.
template <typename Read>
bool hashWith(Read read, std::string* hex) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) >= 0 &&
            BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) >= 0;
  unsigned char buffer[64 * 1024];
  size_t count;
  while (ok && (count = read(buffer, sizeof buffer)) > 0)
    ok = BCryptHashData(hash, buffer, static_cast<ULONG>(count), 0) >= 0;
  unsigned char digest[32];
  ok = ok && BCryptFinishHash(hash, digest, sizeof digest, 0) >= 0;
  if (hash != nullptr) BCryptDestroyHash(hash);
  if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
  if (!ok) return false;
  const char* digits = "0123456789abcdef";
  hex->clear();
  for (unsigned char byte : digest) {
    hex->push_back(digits[byte >> 4]);
    hex->push_back(digits[byte & 15]);
  }
  return true;
}

}  // namespace

std::string sha256Hex(const uint8_t* data, size_t length) {
  size_t at = 0;
  std::string hex;
  hashWith(
      [&](unsigned char* buffer, size_t size) {
        const size_t count = std::min(size, length - at);
        if (count != 0) std::memcpy(buffer, data + at, count);
        at += count;
        return count;
      },
      &hex);
  return hex;
}

bool fileSha256(const std::string& path, std::string* hex) {
  std::FILE* file = openFile(path, "rb");
  if (file == nullptr) return false;
  bool failed = false;
  const bool ok = hashWith(
      [&](unsigned char* buffer, size_t size) {
        const size_t count = std::fread(buffer, 1, size, file);
        if (count == 0 && std::ferror(file) != 0) failed = true;
        return count;
      },
      hex);
  std::fclose(file);
  return ok && !failed;
}
