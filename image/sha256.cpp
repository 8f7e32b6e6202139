#include "image/sha256.h"

#include <sodium.h>

#include <cstdio>
#include <memory>

#include "common/files.h"

namespace {

std::string hexDigest(crypto_hash_sha256_state& state) {
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256_final(&state, digest);
  char hex[2 * crypto_hash_sha256_BYTES + 1];
  sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
  return hex;
}

}  // namespace

std::string sha256Hex(const uint8_t* data, size_t length) {
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  if (length != 0) crypto_hash_sha256_update(&state, data, length);
  return hexDigest(state);
}

bool fileSha256Hex(const std::string& path, std::string* hex) {
  std::FILE* file = openFile(path, "rb");
  if (file == nullptr) return false;
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  auto block = std::make_unique<unsigned char[]>(64 * 1024);
  size_t got;
  while ((got = std::fread(block.get(), 1, 64 * 1024, file)) > 0)
    crypto_hash_sha256_update(&state, block.get(), got);
  const bool complete = std::ferror(file) == 0;
  std::fclose(file);
  if (!complete) return false;
  *hex = hexDigest(state);
  return true;
}
