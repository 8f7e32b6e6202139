// The update's first step: the firmware file loaded for an update, and the
// messages that tell why it could not be.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/firmware_image.h"
#include "image/firmware_info.h"
#include "image/image_loader.h"
#include "image/signature.h"
#include "update/update_result.h"

class SessionListener;

/// How text with characters beyond ASCII is written to the console.
enum class TextEncoding : uint8_t { kUtf8, kGbk };

/// The message of a failed load (the Intel HEX reader's; nothing for the
/// others), through listener, without a line feed.
void printImageLoadFailure(SessionListener& listener, ImageLoadResult result,
                           TextEncoding encoding);

/// What the load step asks of a file beyond its format; nothing by default.
struct ImageCheck {
  /// When there is any, the file must carry a signature (path + ".minisig")
  /// by one of these keys; it is checked before the file is read as firmware,
  /// and the image is loaded from the bytes it covers.
  std::vector<PublicKey> trustedKeys;
  /// The version of a file that carries none (--file-version). A file that
  /// carries another one is refused.
  std::string statedVersion;
};

/// Why an update refuses a file whose signature check is not kValid, in
/// *text (a line for the operator), and the outcome.
UpdateOutcome refuseSignature(const SignatureCheck& signature, const std::string& path,
                              std::string* text);

/// Loads path for an update, as the update's first step. On failure says the
/// loader's message and "Error: The input file is not a valid firmware
/// file!" (no line feed), or "Error: The firmware image is empty\n", fills
/// *failure and returns false (a buffer the load left is not released). The
/// version-2 header parse is traced through listener.traceWord. A file that
/// could not be read has the reason in failure->detail; with verbose it is
/// also said, on a line of its own. A name whose extension is hex or qfw in
/// another case is noted (listener.note, and said with verbose). info.sha256
/// is set from the file; with check, its signature and stated version are
/// checked (and info.keyId set), each refusal with a message of its own.
bool loadUpdateImage(const std::string& path, TextEncoding encoding, FirmwareImage& image,
                     FirmwareInfo& info, SessionListener& listener, UpdateResult* failure,
                     bool verbose = false, const ImageCheck* check = nullptr);

/// Why a firmware file could not be read: "Error: cannot read PATH: " and the
/// system's text for error (an errno value), or that no file was named.
std::string unreadableFileReason(const std::string& path, int error);

/// For a name whose extension is hex or qfw in another case (FW.HEX), that
/// it is read as a raw image; empty for any other name.
std::string extensionCaseNote(const std::string& path);
