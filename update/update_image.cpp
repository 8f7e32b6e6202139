#include "update/update_image.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "common/sha256.h"
#include "image/file_reader.h"
#include "update/session_listener.h"
#include "update/update_result.h"
#include "update/version_policy.h"

namespace {

// A version stated for the file fills in a missing one and must agree with
// one the file carries.
bool acceptStatedVersion(FirmwareInfo& info, const std::string& stated, std::string* text) {
  if (stated.empty()) return true;
  if (info.version.empty()) {
    info.version = stated;
    return true;
  }
  if (compareVersions(info.version, stated) == VersionOrder::kEqual) return true;
  *text =
      "Error: the file carries version " + info.version + ", not " + stated + " (--file-version)\n";
  return false;
}

}  // namespace

UpdateOutcome refuseSignature(const SignatureCheck& signature, const std::string& path,
                              std::string* text) {
  switch (signature.status) {
    case SignatureStatus::kUnsigned:
      *text = "Error: " + path + " is not signed (no " + path +
              ".minisig), and only images signed by a trusted key are accepted\n";
      return UpdateOutcome::kUnsignedImage;
    case SignatureStatus::kUntrustedKey:
      *text =
          "Error: " + path + " is signed by key " + signature.keyId + ", which is not trusted\n";
      return UpdateOutcome::kUntrustedKey;
    case SignatureStatus::kMalformed:
      *text = "Error: " + path + ".minisig is not a minisign signature\n";
      return UpdateOutcome::kSignatureInvalid;
    default:
      *text = "Error: the signature of " + path + " by key " + signature.keyId +
              " does not verify: the file or its signature was altered\n";
      return UpdateOutcome::kSignatureInvalid;
  }
}


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
                     bool verbose, const ImageCheck* check) {
  image.imageLength = 0;
  image.protocolSelection = 0;
  const std::string note = extensionCaseNote(path);
  if (!note.empty()) {
    listener.note(note.c_str());
    if (verbose) listener.message((note + "\n").c_str());
  }
  ImageFormat format = ImageFormat::kRaw;
  int fileError = 0;
  ImageLoadResult loaded = kImageInvalid;
  UpdateResult result;
  bool refused = false;
  if (check != nullptr && !check->trustedKeys.empty()) {
    // Read once: the bytes the signature covers are the bytes loaded, so a
    // file replaced between the check and the load cannot slip through.
    std::unique_ptr<uint8_t[]> bytes;
    uint32_t size = 0;
    if (readWholeFile(path, bytes, size, &fileError)) {
      info.sha256 = sha256Hex(bytes.get(), size);
      const SignatureCheck signature =
          checkFileSignature(path, bytes.get(), size, check->trustedKeys);
      // Refused before the file is read as firmware.
      if (signature.status != SignatureStatus::kValid) {
        result.outcome = refuseSignature(signature, path, &result.message);
        refused = true;
      } else {
        info.keyId = signature.keyId;
        loaded = loadFirmwareImageFromBytes(image, info, path, bytes.get(), size, &format);
      }
    }
  } else {
    loaded = loadFirmwareImage(image, info, path, &format, false, &fileError);
    if (loaded == kImageLoaded) fileSha256(path, &info.sha256);
  }
  if (format == ImageFormat::kContainerV2) listener.traceWord("parseV2FileHeader");
  if (refused) {
    // the signature's message is set
  } else if (loaded != kImageLoaded) {
    printImageLoadFailure(listener, loaded, encoding);
    result.outcome = UpdateOutcome::kInvalidFile;
    result.message = "Error: The input file is not a valid firmware file!";
    if (fileError != 0 || path.empty()) result.detail = unreadableFileReason(path, fileError);
  } else if (image.imageLength == 0) {
    // An empty image has nothing to send, and its progress would divide by zero.
    result.outcome = UpdateOutcome::kEmptyImage;
    result.message = "Error: The firmware image is empty\n";
  } else if (check != nullptr &&
             !acceptStatedVersion(info, check->statedVersion, &result.message)) {
    result.outcome = UpdateOutcome::kInvalidFile;
  } else {
    return true;
  }
  result.sha256 = info.sha256;
  listener.message(result.message.c_str());
  // The message ends without a line feed: the reason goes on a line of its own.
  if (verbose && !result.detail.empty()) listener.message(("\n" + result.detail + "\n").c_str());
  listener.finished(result);
  if (failure != nullptr) *failure = result;
  return false;
}
