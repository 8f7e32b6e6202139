#include "update/update_image.h"

#include <memory>

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

// The load with what check asks of the file; false with result's outcome and
// message set (the loader's own messages are said at once).
bool loadChecked(const std::string& path, TextEncoding encoding, FirmwareImage& image,
                 FirmwareInfo& info, SessionListener& listener, const ImageCheck* check,
                 UpdateResult* result) {
  image.imageLength = 0;
  image.protocolSelection = 0;
  ImageFormat format = ImageFormat::kRaw;
  ImageLoadResult loaded = kImageInvalid;
  if (check != nullptr && !check->trustedKeys.empty()) {
    // Read once: the bytes the signature covers are the bytes loaded, so a
    // file replaced between the check and the load cannot slip through.
    std::unique_ptr<uint8_t[]> bytes;
    uint32_t size = 0;
    if (readWholeFile(path, bytes, size)) {
      info.sha256 = sha256Text(bytes.get(), size);
      const SignatureCheck signature =
          checkFileSignature(path, bytes.get(), size, check->trustedKeys);
      // Refused before the file is read as firmware.
      if (signature.status != SignatureStatus::kValid) {
        result->outcome = refuseSignature(signature, path, &result->message);
        return false;
      }
      info.keyId = signature.keyId;
      loaded = loadFirmwareImageFromBytes(image, info, path, bytes.get(), size, &format);
    }
  } else {
    loaded = loadFirmwareImage(image, info, path, &format);
    if (loaded == kImageLoaded) fileSha256(path, &info.sha256);
  }
  if (format == ImageFormat::kContainerV2) listener.traceWord("parseV2FileHeader");
  if (loaded != kImageLoaded) {
    printImageLoadFailure(listener, loaded, encoding);
    result->outcome = UpdateOutcome::kInvalidFile;
    result->message = "Error: The input file is not a valid firmware file!";
    return false;
  }
  if (image.imageLength == 0) {
    // An empty image has nothing to send, and its progress would divide by zero.
    result->outcome = UpdateOutcome::kEmptyImage;
    result->message = "Error: The firmware image is empty\n";
    return false;
  }
  if (check != nullptr && !acceptStatedVersion(info, check->statedVersion, &result->message)) {
    result->outcome = UpdateOutcome::kInvalidFile;
    return false;
  }
  return true;
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

bool loadUpdateImage(const std::string& path, TextEncoding encoding, FirmwareImage& image,
                     FirmwareInfo& info, SessionListener& listener, UpdateResult* failure,
                     const ImageCheck* check) {
  UpdateResult result;
  if (loadChecked(path, encoding, image, info, listener, check, &result)) return true;
  result.sha256 = info.sha256;
  listener.message(result.message.c_str());
  listener.finished(result);
  if (failure != nullptr) *failure = result;
  return false;
}
