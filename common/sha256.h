// The SHA-256 of a file, as a record of exactly which file was used.
#pragma once

#include <string>

/// Fills *hex with the SHA-256 of the file at path in 64 lowercase hex
/// digits; false when the file cannot be read whole.
bool fileSha256(const std::string& path, std::string* hex);
