#include "app/inspect.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>

#include "common/sha256.h"
#include "app/json.h"
#include "app/message.h"
#include "app/run_report.h"
#include "common/files.h"
#include "common/printable_text.h"
#include "image/file_reader.h"
#include "image/firmware_image.h"
#include "image/image_loader.h"

namespace {

bool writeImage(const FirmwareImage& image, const char* path) {
  std::FILE* file = openFile(path, "wb");
  if (file == nullptr) return false;
  uint32_t length = image.imageLength;
  bool ok = length == 0 || std::fwrite(image.imageData, 1, length, file) == length;
  // Close errors count too: they are how a full disk shows up.
  if (std::fclose(file) != 0) ok = false;
  return ok;
}

// The SHA-256 of a view of the file on a second thread, started before the
// image is loaded: on a large raw file the hash takes longest, and the load
// (the CRC, the search for the info block) then adds next to nothing where a
// second core is free. Throws nothing.
class BackgroundSha256 {
 public:
  BackgroundSha256(const uint8_t* data, size_t size) : data_(data), size_(size) {
    try {
      worker_ = std::thread([this]() noexcept { run(); });
    } catch (const std::system_error&) {
      // No thread to be had: result() hashes on the caller's.
    }
  }
  ~BackgroundSha256() {
    stop_ = true;
    if (worker_.joinable()) worker_.join();
  }
  BackgroundSha256(const BackgroundSha256&) = delete;
  BackgroundSha256& operator=(const BackgroundSha256&) = delete;

  /// The digest in 64 hex digits; empty when the hash library failed.
  std::string result() {
    if (worker_.joinable())
      worker_.join();
    else
      run();
    return ok_ ? text_ : "";
  }

 private:
  void run() noexcept {
    Sha256Stream stream;
    // In pieces, so that a load that fails does not wait for a whole hash.
    constexpr size_t kPiece = size_t{1} << 20;
    for (size_t at = 0; at < size_; at += kPiece) {
      if (stop_) return;
      stream.add(data_ + at, std::min(kPiece, size_ - at));
    }
    ok_ = stream.finishHex(text_);
  }

  const uint8_t* data_;
  size_t size_;
  std::atomic<bool> stop_{false};
  bool ok_ = false;
  char text_[2 * kSha256Bytes + 1] = {};
  std::thread worker_;
};

// The file's digest and its signature against keys, from one read of it: the
// view whose hash is under way, else a copy. False when it cannot be read (it
// was just loaded, so only a file changing under us) or hashed.
bool examineFile(const std::string& path, const FileView* view,
                 std::optional<BackgroundSha256>& hash, const std::vector<PublicKey>& keys,
                 std::string* sha256, SignatureCheck* signature) {
  std::unique_ptr<uint8_t[]> copy;
  const uint8_t* data = nullptr;
  size_t size = 0;
  uint32_t length = 0;
  if (hash) {
    data = view->data();
    size = static_cast<size_t>(view->size());
    *sha256 = hash->result();
  } else if (readWholeFile(path, copy, length)) {
    data = copy.get();
    size = length;
    *sha256 = sha256Hex(data, size);
  } else {
    return false;
  }
  if (sha256->empty()) return false;
  *signature = checkFileSignature(path, data, size, keys);
  return true;
}

}  // namespace

int runInspect(const std::string& path, const char* imageOutPath, RunReport& report,
               TextEncoding encoding, bool verbose, const std::vector<PublicKey>& trustedKeys) {
  // Writing the image over the file it came from would destroy the firmware.
  if (imageOutPath != nullptr && sameFile(path, imageOutPath)) {
    message("Error: --image-out %s is the firmware file itself; name another file\n", imageOutPath);
    return 1;
  }
  // Loaded as an update loads it, so the output is what it would use; the
  // version-2 trace is left out: standard output carries only the report.
  FirmwareImage image;
  FirmwareInfo info;
  ImageFormat format = ImageFormat::kRaw;
  // FW.HEX is no Intel HEX file to the loader: the one surprise of the names.
  const std::string note = extensionCaseNote(path);
  if (!note.empty()) {
    messageText((note + "\n").c_str());
    report.log("", "%s", note.c_str());
  }
  // A file that can be viewed (a regular, non-empty one on Linux) is viewed
  // once: a raw image is that view, not a copy, and the file is hashed on a
  // second thread meanwhile. Its pages are mapped as the two threads first
  // read them, not before the hash can start. The view outlives the thread
  // (declared first).
  auto view = std::make_shared<FileView>();
  std::optional<BackgroundSha256> hash;
  if (view->map(path, false))
    hash.emplace(view->data(), static_cast<size_t>(view->size()));
  else
    view.reset();
  int fileError = 0;
  const ImageLoadResult loaded = loadFirmwareImage(image, info, path, view, &format, &fileError);
  if (loaded != kImageLoaded) {
    ConsoleListener console;
    printImageLoadFailure(console, loaded, encoding);
    messageText("Error: The input file is not a valid firmware file!\n");
    if (verbose && (fileError != 0 || path.empty()))
      messageText((unreadableFileReason(path, fileError) + "\n").c_str());
    return 1;
  }
  if (imageOutPath != nullptr && !writeImage(image, imageOutPath)) {
    message("Error: cannot write the image to %s\n", imageOutPath);
    return 1;
  }
  std::string sha256;
  SignatureCheck signature;
  if (!examineFile(path, view.get(), hash, trustedKeys, &sha256, &signature)) {
    messageText("Error: The input file is not a valid firmware file!\n");
    return 1;
  }
  const char* signatureName = signatureStatusName(signature.status);
  const bool signatureRead = signature.status != SignatureStatus::kUnsigned &&
                             signature.status != SignatureStatus::kMalformed;
  char crc[16], check[16], mask[8];
  std::snprintf(crc, sizeof crc, "0x%08X", static_cast<unsigned>(image.imageCrc));
  std::snprintf(check, sizeof check, "0x%08X", static_cast<unsigned>(image.checkWord));
  std::snprintf(mask, sizeof mask, "0x%02X", static_cast<unsigned>(image.protocolMask));
  const std::string length = std::to_string(image.imageLength);
  const std::string selection = std::to_string(image.protocolSelection);
  report.log("", "inspect %s: %s, %s bytes, image-crc %s, check-word %s", path.c_str(),
                  imageFormatName(format), length.c_str(), crc, check);
  report.log("", "inspect %s: sha256 %s, signature %s%s%s", path.c_str(), sha256.c_str(),
             signatureName, signatureRead ? " by key " : "", signature.keyId.c_str());
  std::string text;
  if (report.json()) {
    JsonLine object;
    object.add("event", "inspect")
        .add("format", imageFormatName(format))
        .add("length", int64_t{image.imageLength})
        .add("image-crc", crc)
        .add("check-word", check)
        .add("protocol-mask", mask)
        .add("protocol-selection", int64_t{image.protocolSelection})
        .add("model", info.model)
        .add("version", info.version)
        .add("sha256", sha256)
        .add("signature", signatureName);
    if (signatureRead)
      object.add("key-id", signature.keyId).add("trusted-comment", signature.trustedComment);
    text = object.text() + "\n";
  } else {
    text = std::string("format: ") + imageFormatName(format) + "\nlength: " + length +
           "\nimage-crc: " + crc + "\ncheck-word: " + check + "\nprotocol-mask: " + mask +
           "\nprotocol-selection: " + selection + "\nmodel: " + printableText(info.model) +
           "\nversion: " + printableText(info.version) + "\nsha256: " + sha256 +
           "\nsignature: " + signatureName + "\n";
    if (signatureRead)
      text += "key-id: " + signature.keyId +
              "\ntrusted-comment: " + printableText(signature.trustedComment) + "\n";
  }
  // A full disk or a closed pipe must not pass for a report delivered.
  const bool delivered = outputText(text.c_str());
  if (!delivered) {
    sayOutputLost("Error: cannot write the report to standard output\n");
    return 1;
  }
  // The file loads, but an update stops at it: a script checking files
  // before a run must see that.
  if (image.imageLength == 0) {
    messageText("refused by an update: the image is empty\n");
    return 1;
  }
  // Checked as an update checks it: with a trusted key, only a valid signature does.
  if (!trustedKeys.empty() && signature.status != SignatureStatus::kValid) {
    std::string refusal;
    refuseSignature(signature, path, &refusal);
    messageText(refusal.c_str());
    return 1;
  }
  return 0;
}
