#include "image/image_loader.h"

#include <memory>

#include "app/message.h"
#include "app/update_context.h"
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

// The Intel HEX messages carry a full-width exclamation mark: GBK bytes A3 A1
// for a GBK console, its UTF-8 form elsewhere.
void printHexFailure(int result) {
  switch (result) {
    case kHexUnknownNvmType:
      messageText(consoleText("Error:Unknown NVM type of hex file\xA3\xA1",
                              "Error:Unknown NVM type of hex file\xEF\xBC\x81"));
      break;
    case kHexNoSectionInfo:
      messageText("Error: Get section information failed!");
      break;
    default:
      messageText(consoleText("Error\xA3\xA1Reading hex file failed!",
                              "Error\xEF\xBC\x81Reading hex file failed!"));
      break;
  }
}

// Raw and HEX images carry no CRC of their own; the info block, if any, lies
// inside the bytes the CRC covers.
void finishPlainImage(FirmwareInfo& info, uint32_t bufferSize) {
  gContext.imageCrc = crc32NoFinalXor(gContext.imageData, gContext.imageLength);
  gContext.checkWord = gContext.imageCrc;
  scanInfoBlock(info, gContext.imageData, gContext.imageLength, bufferSize);
  // A zero mask would make frames the device cannot decode; keep the default.
  if (info.protocolMask != 0) gContext.protocolMask = info.protocolMask;
}

}  // namespace

bool loadFirmwareImage(FirmwareInfo& info, std::string path, ImageFormat* format, bool viewFile) {
  // A view (or buffer) of an earlier load is not the readers' to free.
  gContext.releaseImage();
  gContext.checkWord = 0xFFFFFFFFu;
  gContext.protocolMask = 0xAA;

  if (endsWith3(path, "qfw")) {
    ContainerHeader header;
    bool ok = parseContainer(path, header, gContext.imageData, gContext.imageLength);
    if (format)
      *format = header.formatVersion == 2 ? ImageFormat::kContainerV2 : ImageFormat::kContainerV1;
    if (!ok) return false;
    gContext.imageCrc = header.payloadCrc;
    gContext.checkWord = header.checkWord;
    gContext.protocolSelection = 1;
    info.model = header.model;
    info.version = header.version;
    if (header.formatVersion == 2) gContext.protocolMask = header.protocolMask;
    return true;
  }

  if (endsWith3(path, "hex")) {
    if (format) *format = ImageFormat::kIntelHex;
    const HexLoadResult result = loadHexImage(path, gContext.imageData, gContext.imageLength);
    if (result != kHexLoaded) {
      printHexFailure(result);
      return false;
    }
    // The walk may read past the reported length, within the 128 KiB buffer.
    finishPlainImage(info, kHexImageSize);
    return true;
  }

  if (format) *format = ImageFormat::kRaw;
  if (viewFile) {
    auto view = std::make_unique<FileView>();
    if (view->map(path) && view->size() <= 0xFFFFFFFFu) {
      gContext.imageData = const_cast<uint8_t*>(view->data());
      gContext.imageLength = static_cast<uint32_t>(view->size());
      gContext.imageView = std::move(view);
      finishPlainImage(info, gContext.imageLength);
      return true;
    }
  }
  std::unique_ptr<uint8_t[]> buffer;
  uint32_t length = 0;
  if (!readWholeFile(path, buffer, length)) return false;
  gContext.imageData = buffer.release();
  gContext.imageLength = length;
  finishPlainImage(info, length);
  return true;
}
