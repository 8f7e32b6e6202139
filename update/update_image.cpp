#include "update/update_image.h"

#include "update/session_listener.h"
#include "update/update_result.h"

void printImageLoadFailure(SessionListener& listener, ImageLoadResult result,
                           TextEncoding encoding) {
  // Two messages carry a full-width exclamation mark: GBK bytes A3 A1 for a
  // GBK console, its UTF-8 form elsewhere.
  const bool gbk = encoding == TextEncoding::kGbk;
  switch (result) {
    case kImageHexUnknownNvmType:
      listener.message(gbk ? "Error:Unknown NVM type of hex file\xA3\xA1"
                           : "Error:Unknown NVM type of hex file\xEF\xBC\x81");
      break;
    case kImageHexNoSectionInfo:
      listener.message("Error: Get section information failed!");
      break;
    case kImageHexReadFailed:
      listener.message(gbk ? "Error\xA3\xA1Reading hex file failed!"
                           : "Error\xEF\xBC\x81Reading hex file failed!");
      break;
    default:
      break;
  }
}

bool loadUpdateImage(const std::string& path, TextEncoding encoding, FirmwareImage& image,
                     FirmwareInfo& info, SessionListener& listener, UpdateResult* failure) {
  image.imageLength = 0;
  image.protocolSelection = 0;
  ImageFormat format = ImageFormat::kRaw;
  const ImageLoadResult loaded = loadFirmwareImage(image, info, path, &format);
  if (format == ImageFormat::kContainerV2) listener.traceWord("parseV2FileHeader");
  UpdateResult result;
  if (loaded != kImageLoaded) {
    printImageLoadFailure(listener, loaded, encoding);
    result.outcome = UpdateOutcome::kInvalidFile;
    result.message = "Error: The input file is not a valid firmware file!";
  } else if (image.imageLength == 0) {
    // An empty image has nothing to send, and its progress would divide by zero.
    result.outcome = UpdateOutcome::kEmptyImage;
    result.message = "Error: The firmware image is empty\n";
  } else {
    return true;
  }
  listener.message(result.message.c_str());
  listener.finished(result);
  if (failure != nullptr) *failure = result;
  return false;
}
