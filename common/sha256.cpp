// libsodium's SHA-256: a well-kept Debian library the project links anyway
// (for signatures), on Windows too.
#include <sodium.h>

#include <cstdio>

#include "common/files.h"
#include "common/sha256.h"

namespace {

std::string hexDigest(crypto_hash_sha256_state& state) {
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256_final(&state, digest);
  char text[2 * crypto_hash_sha256_BYTES + 1];
  sodium_bin2hex(text, sizeof text, digest, sizeof digest);
  return text;
}

}  // namespace

std::string sha256Hex(const uint8_t* data, size_t length) {
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  if (length != 0) crypto_hash_sha256_update(&state, data, length);
  return hexDigest(state);
}

bool fileSha256(const std::string& path, std::string* hex) {
  // Only a regular file ends: a FIFO would wait for a writer without bound.
  uint64_t size = 0;
  if (!regularFileSize(path, &size)) return false;
  if (sodium_init() < 0) return false;
  std::FILE* file = openFile(path, "rb");
  if (file == nullptr) return false;
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  unsigned char buffer[64 * 1024];
  size_t count;
  while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0)
    crypto_hash_sha256_update(&state, buffer, count);
  const bool readWhole = std::ferror(file) == 0;
  std::fclose(file);
  if (!readWhole) return false;
  *hex = hexDigest(state);
  return true;
}
