// SHA-256: of a file, as a record of exactly which file was used; of the
// bytes an update sends. Computed by the library the build links:
// sha256_openssl.cpp (OpenSSL's libcrypto, Linux) or sha256_sodium.cpp
// (libsodium, the Windows build).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t kSha256Bytes = 32;

/// One SHA-256 fed in pieces. Throws nothing, so it may run on any thread: a
/// failure of the library (no memory for its state) shows in finish().
class Sha256Stream {
 public:
  Sha256Stream();
  ~Sha256Stream();
  Sha256Stream(const Sha256Stream&) = delete;
  Sha256Stream& operator=(const Sha256Stream&) = delete;

  void add(const uint8_t* data, size_t length);
  /// Fills digest; false when any step failed. Called once.
  bool finish(uint8_t digest[kSha256Bytes]);
  /// Fills text with the digest in 64 lowercase hex digits and a NUL; as
  /// finish() otherwise.
  bool finishHex(char text[2 * kSha256Bytes + 1]);

 private:
  struct State;
  State* state_;
};

/// Fills text with the SHA-256 of length bytes in 64 lowercase hex digits and
/// a NUL; false when the library fails. Throws nothing.
bool sha256Text(const uint8_t* data, size_t length, char text[2 * kSha256Bytes + 1]);

/// The SHA-256 of length bytes in 64 lowercase hex digits; empty when the
/// library fails.
std::string sha256Hex(const uint8_t* data, size_t length);

/// Fills *hex with the SHA-256 of the file at path in 64 lowercase hex
/// digits; false when the file cannot be read whole.
bool fileSha256(const std::string& path, std::string* hex);
