#include "app/inspect.h"

#include <cstdio>

#include "app/json.h"
#include "app/message.h"
#include "app/run_report.h"
#include "common/files.h"
#include "common/printable_text.h"
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

}  // namespace

int runInspect(const std::string& path, const char* imageOutPath, RunReport& report,
               TextEncoding encoding, bool verbose) {
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
  // A raw file is viewed, not copied: checking a file of many MiB stays fast.
  int fileError = 0;
  const ImageLoadResult loaded = loadFirmwareImage(image, info, path, &format, true, &fileError);
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
  char crc[16], check[16], mask[8];
  std::snprintf(crc, sizeof crc, "0x%08X", static_cast<unsigned>(image.imageCrc));
  std::snprintf(check, sizeof check, "0x%08X", static_cast<unsigned>(image.checkWord));
  std::snprintf(mask, sizeof mask, "0x%02X", static_cast<unsigned>(image.protocolMask));
  const std::string length = std::to_string(image.imageLength);
  const std::string selection = std::to_string(image.protocolSelection);
  report.log("", "inspect %s: %s, %s bytes, image-crc %s, check-word %s", path.c_str(),
                  imageFormatName(format), length.c_str(), crc, check);
  std::string text;
  if (report.json())
    text = JsonLine()
                 .add("event", "inspect")
                 .add("format", imageFormatName(format))
                 .add("length", int64_t{image.imageLength})
                 .add("image-crc", crc)
                 .add("check-word", check)
                 .add("protocol-mask", mask)
                 .add("protocol-selection", int64_t{image.protocolSelection})
                 .add("model", info.model)
                 .add("version", info.version)
                 .text() +
             "\n";
  else
    text = std::string("format: ") + imageFormatName(format) + "\nlength: " + length +
             "\nimage-crc: " + crc + "\ncheck-word: " + check + "\nprotocol-mask: " + mask +
             "\nprotocol-selection: " + selection + "\nmodel: " + printableText(info.model) +
             "\nversion: " + printableText(info.version) + "\n";
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
  return 0;
}
