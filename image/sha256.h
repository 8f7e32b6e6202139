// SHA-256 of firmware: what identifies a file, or the bytes an update sends,
// in a station's record. One function over libsodium's, so that every caller
// in tavrin hashes the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

/// The SHA-256 of length bytes as 64 lower-case hex digits.
std::string sha256Hex(const uint8_t* data, size_t length);

/// The SHA-256 of the file at path, read in blocks; false when it cannot be
/// read to its end.
bool fileSha256Hex(const std::string& path, std::string* hex);
