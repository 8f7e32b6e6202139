// Turns a firmware file into the image, verify words and protocol bytes of
// gContext, choosing the reader by the last three characters of the path.
#pragma once

#include <string>

#include "image/firmware_info.h"

enum class ImageFormat { kRaw, kIntelHex, kContainerV1, kContainerV2 };

/// Loads `path` into gContext (imageData, imageLength, imageCrc, checkWord,
/// protocolMask, and protocolSelection = 1 for a container) and fills `info`.
/// Paths ending in "qfw" are containers, in "hex" Intel HEX files (both
/// compared case-sensitively, no dot needed), anything else a raw image.
/// `*format`, when given, receives the reader chosen (for a container, the
/// version once it is known). Prints only the Intel HEX failure messages, with
/// no line feed. Never releases a buffer it leaves in imageData, even on failure.
bool loadFirmwareImage(FirmwareInfo& info, std::string path, ImageFormat* format = nullptr);
