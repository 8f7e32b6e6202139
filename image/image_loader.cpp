#include "image/image_loader.h"

#include <memory>

#include "image/container.h"
#include "image/crc32.h"
#include "image/file_reader.h"
#include "image/info_block.h"
#include "image/intel_hex.h"

namespace {

bool endsWith3(const std::string& path, const char* suffix) {
  std::string tail = path.size() < 3 ? path : path.substr(path.size() - 3);
  return tail == suffix;
}

// Raw and HEX images carry no CRC of their own; the info block, if any, lies
// inside the bytes the CRC covers.
void finishPlainImage(FirmwareImage& image, FirmwareInfo& info, uint32_t bufferSize) {
  image.imageCrc = crc32NoFinalXor(image.imageData, image.imageLength);
  image.checkWord = image.imageCrc;
  scanInfoBlock(info, image.imageData, image.imageLength, bufferSize);
  // A zero mask would make frames the device cannot decode; keep the default.
  if (info.protocolMask != 0) image.protocolMask = info.protocolMask;
}

}  // namespace

const char* caseMismatchedExtension(const std::string& path) {
  if (path.size() < 3 || endsWith3(path, "hex") || endsWith3(path, "qfw")) return nullptr;
  std::string tail = path.substr(path.size() - 3);
  for (char& c : tail)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (tail == "hex") return "hex";
  if (tail == "qfw") return "qfw";
  return nullptr;
}

ImageLoadResult loadFirmwareImage(FirmwareImage& image, FirmwareInfo& info, std::string path,
                                  ImageFormat* format, bool viewFile, int* fileError) {
  int ignored = 0;
  int& why = fileError != nullptr ? *fileError : ignored;
  why = 0;
  // A view (or buffer) of an earlier load is not the readers' to free.
  image.releaseImage();
  image.checkWord = 0xFFFFFFFFu;
  image.protocolMask = 0xAA;

  if (endsWith3(path, "qfw")) {
    ContainerHeader header;
    bool ok = parseContainer(path, header, image.imageData, image.imageLength, &why);
    if (format)
      *format = header.formatVersion == 2 ? ImageFormat::kContainerV2 : ImageFormat::kContainerV1;
    if (!ok) return kImageInvalid;
    image.imageCrc = header.payloadCrc;
    image.checkWord = header.checkWord;
    image.protocolSelection = 1;
    info.model = header.model;
    info.version = header.version;
    if (header.formatVersion == 2) image.protocolMask = header.protocolMask;
    return kImageLoaded;
  }

  if (endsWith3(path, "hex")) {
    if (format) *format = ImageFormat::kIntelHex;
    const HexLoadResult result = loadHexImage(path, image.imageData, image.imageLength, &why);
    if (result != kHexLoaded) return static_cast<ImageLoadResult>(result);
    // The walk may read past the reported length, within the 128 KiB buffer.
    finishPlainImage(image, info, kHexImageSize);
    return kImageLoaded;
  }

  if (format) *format = ImageFormat::kRaw;
  if (viewFile) {
    auto view = std::make_unique<FileView>();
    if (view->map(path) && view->size() <= 0xFFFFFFFFu) {
      image.imageData = const_cast<uint8_t*>(view->data());
      image.imageLength = static_cast<uint32_t>(view->size());
      image.imageView = std::move(view);
      finishPlainImage(image, info, image.imageLength);
      return kImageLoaded;
    }
  }
  std::unique_ptr<uint8_t[]> buffer;
  uint32_t length = 0;
  if (!readWholeFile(path, buffer, length, &why)) return kImageInvalid;
  image.imageData = buffer.release();
  image.imageLength = length;
  finishPlainImage(image, info, length);
  return kImageLoaded;
}

const char* imageFormatName(ImageFormat format) {
  switch (format) {
    case ImageFormat::kIntelHex:
      return "intel-hex";
    case ImageFormat::kContainerV1:
      return "container-v1";
    case ImageFormat::kContainerV2:
      return "container-v2";
    case ImageFormat::kRaw:
      break;
  }
  return "raw";
}
