// Intel HEX reader: builds the fixed 128 KiB image from a HEX file whose image
// starts with a section table naming the NVM type of the target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

/// Size of the image buffer every HEX pass allocates.
constexpr uint32_t kHexImageSize = 131072;

/// Result codes of loadHexImage (the image loader prints one message for each failure).
enum HexLoadResult : int {
  kHexLoaded = 0,
  kHexUnknownNvmType = 1,
  kHexReadFailed = 2,
  kHexNoSectionInfo = 3,
};

/// One pass over HEX text held in memory. Allocates a fresh kHexImageSize buffer
/// preset to `fill`, stores it in `imageData` at once (releasing any buffer held
/// there) and applies the records. On success `imageLength` is the position
/// behind the last position-setting line. On failure the new buffer stays in
/// `imageData` and `imageLength` is untouched. Lines end at LF or CR LF.
bool readIntelHex(const char* text, size_t size, uint8_t fill, uint8_t*& imageData,
                  uint32_t& imageLength);

/// Finds the NVM-type entry of the section table at the start of a
/// kHexImageSize image; false when the table names none.
bool findNvmType(const uint8_t* image, uint32_t* nvmType);

/// Driver over a file: a pass with fill 0x00, the section-table check, and for
/// the flash NVM types the image a second pass with fill 0xFF would give
/// (unwritten bytes 0xFF; derived from the first pass, not by re-reading).
/// The file is read in bounded blocks; a path that is not a regular file, or
/// a file that does not open, gives kHexReadFailed with nothing touched, and
/// *fileError (when given) the errno value of why it could not be read.
HexLoadResult loadHexImage(const std::string& path, uint8_t*& imageData, uint32_t& imageLength,
                           int* fileError = nullptr);

/// The same driver over text in memory (tests and fuzzers).
HexLoadResult loadHexImageFromText(const char* text, size_t size, uint8_t*& imageData,
                                   uint32_t& imageLength);
