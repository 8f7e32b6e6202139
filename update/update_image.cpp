#include "update/update_image.h"

#include <cerrno>
#include <cstring>

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

std::string unreadableFileReason(const std::string& path, int error) {
  if (path.empty()) return "Error: no firmware file was named (-f FILE)";
  const char* why = error == EINVAL ? "not a regular file" : std::strerror(error);
  return "Error: cannot read " + path + ": " + why;
}

std::string extensionCaseNote(const std::string& path) {
  const char* extension = caseMismatchedExtension(path);
  if (extension == nullptr) return "";
  return "Note: " + path + " is read as a raw image: the extension is case-sensitive, and only a " +
         "name ending in " + extension + " is read as " +
         (extension[0] == 'h' ? "Intel HEX" : "a firmware container");
}

bool loadUpdateImage(const std::string& path, TextEncoding encoding, FirmwareImage& image,
                     FirmwareInfo& info, SessionListener& listener, UpdateResult* failure,
                     bool verbose) {
  image.imageLength = 0;
  image.protocolSelection = 0;
  const std::string note = extensionCaseNote(path);
  if (!note.empty()) {
    listener.note(note.c_str());
    if (verbose) listener.message((note + "\n").c_str());
  }
  ImageFormat format = ImageFormat::kRaw;
  int fileError = 0;
  const ImageLoadResult loaded = loadFirmwareImage(image, info, path, &format, false, &fileError);
  if (format == ImageFormat::kContainerV2) listener.traceWord("parseV2FileHeader");
  UpdateResult result;
  if (loaded != kImageLoaded) {
    printImageLoadFailure(listener, loaded, encoding);
    result.outcome = UpdateOutcome::kInvalidFile;
    result.message = "Error: The input file is not a valid firmware file!";
    if (fileError != 0 || path.empty()) result.detail = unreadableFileReason(path, fileError);
  } else if (image.imageLength == 0) {
    // An empty image has nothing to send, and its progress would divide by zero.
    result.outcome = UpdateOutcome::kEmptyImage;
    result.message = "Error: The firmware image is empty\n";
  } else {
    return true;
  }
  listener.message(result.message.c_str());
  // The message ends without a line feed: the reason goes on a line of its own.
  if (verbose && !result.detail.empty()) listener.message(("\n" + result.detail + "\n").c_str());
  listener.finished(result);
  if (failure != nullptr) *failure = result;
  return false;
}
