#include "image/image_loader.h"

#include <cstring>
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

ImageLoadResult finishContainer(FirmwareImage& image, FirmwareInfo& info,
                                const ContainerHeader& header, bool parsed, ImageFormat* format) {
  if (format)
    *format = header.formatVersion == 2 ? ImageFormat::kContainerV2 : ImageFormat::kContainerV1;
  if (!parsed) return kImageInvalid;
  image.imageCrc = header.payloadCrc;
  image.checkWord = header.checkWord;
  image.protocolSelection = 1;
  info.model = header.model;
  info.version = header.version;
  if (header.formatVersion == 2) image.protocolMask = header.protocolMask;
  return kImageLoaded;
}

void startLoad(FirmwareImage& image) {
  // A view (or buffer) of an earlier load is not the readers' to free.
  image.releaseImage();
  image.checkWord = 0xFFFFFFFFu;
  image.protocolMask = 0xAA;
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

namespace {

ImageLoadResult loadImage(FirmwareImage& image, FirmwareInfo& info, const std::string& path,
                          ImageFormat* format, bool viewFile, std::shared_ptr<const FileView> view,
                          int* fileError) {
  int ignored = 0;
  int& why = fileError != nullptr ? *fileError : ignored;
  why = 0;
  startLoad(image);

  if (endsWith3(path, "qfw")) {
    ContainerHeader header;
    bool ok = parseContainer(path, header, image.imageData, image.imageLength, &why);
    return finishContainer(image, info, header, ok, format);
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
  if (viewFile && !view) {
    auto own = std::make_shared<FileView>();
    if (own->map(path)) view = std::move(own);
  }
  if (view && view->size() <= 0xFFFFFFFFu) {
    image.imageData = const_cast<uint8_t*>(view->data());
    image.imageLength = static_cast<uint32_t>(view->size());
    image.imageView = std::move(view);
    finishPlainImage(image, info, image.imageLength);
    return kImageLoaded;
  }
  std::unique_ptr<uint8_t[]> buffer;
  uint32_t length = 0;
  if (!readWholeFile(path, buffer, length, &why)) return kImageInvalid;
  image.imageData = buffer.release();
  image.imageLength = length;
  finishPlainImage(image, info, length);
  return kImageLoaded;
}

}  // namespace

ImageLoadResult loadFirmwareImage(FirmwareImage& image, FirmwareInfo& info, std::string path,
                                  ImageFormat* format, bool viewFile, int* fileError) {
  return loadImage(image, info, path, format, viewFile, nullptr, fileError);
}

ImageLoadResult loadFirmwareImage(FirmwareImage& image, FirmwareInfo& info, std::string path,
                                  std::shared_ptr<const FileView> view, ImageFormat* format,
                                  int* fileError) {
  return loadImage(image, info, path, format, true, std::move(view), fileError);
}

ImageLoadResult loadFirmwareImageFromBytes(FirmwareImage& image, FirmwareInfo& info,
                                           const std::string& path, const uint8_t* data,
                                           uint32_t size, ImageFormat* format) {
  startLoad(image);
  if (endsWith3(path, "qfw")) {
    // The parser works in place; the caller's bytes stay as they are.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size == 0 ? 1 : size]);
    if (size > 0) std::memcpy(copy.get(), data, size);
    ContainerHeader header;
    bool ok = parseContainerBuffer(copy.get(), size, header, image.imageData, image.imageLength);
    return finishContainer(image, info, header, ok, format);
  }
  if (endsWith3(path, "hex")) {
    if (format) *format = ImageFormat::kIntelHex;
    const HexLoadResult result = loadHexImageFromText(reinterpret_cast<const char*>(data), size,
                                                      image.imageData, image.imageLength);
    if (result != kHexLoaded) return static_cast<ImageLoadResult>(result);
    finishPlainImage(image, info, kHexImageSize);
    return kImageLoaded;
  }
  if (format) *format = ImageFormat::kRaw;
  image.imageData = new uint8_t[size == 0 ? 1 : size];
  if (size > 0) std::memcpy(image.imageData, data, size);
  image.imageLength = size;
  finishPlainImage(image, info, size);
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
