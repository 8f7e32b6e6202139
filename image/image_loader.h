// Turns a firmware file into the image, verify words and protocol bytes of a
// FirmwareImage, choosing the reader by the last three characters of the path.
#pragma once

#include <cstdint>
#include <string>

#include "image/firmware_image.h"
#include "image/firmware_info.h"

enum class ImageFormat { kRaw, kIntelHex, kContainerV1, kContainerV2 };

/// The fixed name of a format: "raw", "intel-hex", "container-v1", "container-v2".
const char* imageFormatName(ImageFormat format);

/// What a load came to. The Intel HEX codes are those of loadHexImage; the
/// caller prints the message that goes with each (nothing here prints).
enum ImageLoadResult : int {
  kImageLoaded = 0,
  kImageHexUnknownNvmType = 1,
  kImageHexReadFailed = 2,
  kImageHexNoSectionInfo = 3,
  kImageInvalid = 4,  ///< a container or raw file that is not valid; no message of its own
};

/// Loads `path` into `image` (imageData, imageLength, imageCrc, checkWord,
/// protocolMask, and protocolSelection = 1 for a container) and fills `info`.
/// Paths ending in "qfw" are containers, in "hex" Intel HEX files (both
/// compared case-sensitively, no dot needed), anything else a raw image.
/// `*format`, when given, receives the reader chosen (for a container, the
/// version once it is known: kContainerV2 exactly when the version-2 header
/// parser ran). An image an earlier load left in `image` is released first;
/// a buffer this load leaves in imageData is not released, even on failure.
/// With viewFile, a raw image may be a read-only view of the file (kept in
/// image.imageView) instead of a copy: for checking a file, not updating.
/// *fileError (when given) is the errno value of why the file could not be
/// read, 0 when it could.
ImageLoadResult loadFirmwareImage(FirmwareImage& image, FirmwareInfo& info, std::string path,
                                  ImageFormat* format = nullptr, bool viewFile = false,
                                  int* fileError = nullptr);

/// As loadFirmwareImage with viewFile, for a file the caller has a view of
/// already (view maps path; null when it could not): a raw image is that
/// view, shared, rather than a second one.
ImageLoadResult loadFirmwareImage(FirmwareImage& image, FirmwareInfo& info, std::string path,
                                  std::shared_ptr<const FileView> view, ImageFormat* format,
                                  int* fileError);

/// "hex" or "qfw" when the path's last three characters are those but in
/// another case (FW.HEX): the file is then read as a raw image. Null otherwise.
const char* caseMismatchedExtension(const std::string& path);

/// The same over the bytes of the file at path, read whole by the caller (a
/// signed file is checked and loaded from one read): path only chooses the
/// reader. The bytes are not kept; the image is a buffer of its own.
ImageLoadResult loadFirmwareImageFromBytes(FirmwareImage& image, FirmwareInfo& info,
                                           const std::string& path, const uint8_t* data,
                                           uint32_t size, ImageFormat* format = nullptr);
