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
/// no line feed. An image an earlier load left is released first; a buffer
/// this load leaves in imageData is never released, even on failure.
/// With viewFile, a raw image may be a read-only view of the file (kept in
/// gContext.imageView) instead of a copy: for checking a file, not updating.
bool loadFirmwareImage(FirmwareInfo& info, std::string path, ImageFormat* format = nullptr,
                       bool viewFile = false);
