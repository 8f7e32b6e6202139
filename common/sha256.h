// SHA-256: of a file, as a record of exactly which file was used; of the
// bytes an update sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

/// The SHA-256 of length bytes in 64 lowercase hex digits.
std::string sha256Hex(const uint8_t* data, size_t length);

/// Fills *hex with the SHA-256 of the file at path in 64 lowercase hex
/// digits; false when the file cannot be read whole.
bool fileSha256(const std::string& path, std::string* hex);
