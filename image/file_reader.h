// Whole-file reads into a buffer of exactly the file's length.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

/// Reads the regular file at `path` whole. False when it cannot be opened or
/// read in full, is not a regular file, or is 4 GiB or longer; *error (when
/// given) then receives why, as an errno value (EFBIG for the size).
bool readWholeFile(const std::string& path, std::unique_ptr<uint8_t[]>& buffer, uint32_t& length,
                   int* error = nullptr);
