// The update's first step: the firmware file loaded for an update, and the
// messages that tell why it could not be.
#pragma once

#include <cstdint>
#include <string>

#include "image/firmware_image.h"
#include "image/firmware_info.h"
#include "image/image_loader.h"

class SessionListener;
struct UpdateResult;

/// How text with characters beyond ASCII is written to the console.
enum class TextEncoding : uint8_t { kUtf8, kGbk };

/// The message of a failed load (the Intel HEX reader's; nothing for the
/// others), through listener, without a line feed.
void printImageLoadFailure(SessionListener& listener, ImageLoadResult result,
                           TextEncoding encoding);

/// Loads path for an update, as the update's first step. On failure says the
/// loader's message and "Error: The input file is not a valid firmware
/// file!" (no line feed), or "Error: The firmware image is empty\n", fills
/// *failure and returns false (a buffer the load left is not released). The
/// version-2 header parse is traced through listener.traceWord. A file that
/// could not be read has the reason in failure->detail; with verbose it is
/// also said, on a line of its own. A name whose extension is hex or qfw in
/// another case is noted (listener.note, and said with verbose).
bool loadUpdateImage(const std::string& path, TextEncoding encoding, FirmwareImage& image,
                     FirmwareInfo& info, SessionListener& listener, UpdateResult* failure,
                     bool verbose = false);

/// Why a firmware file could not be read: "Error: cannot read PATH: " and the
/// system's text for error (an errno value), or that no file was named.
std::string unreadableFileReason(const std::string& path, int error);

/// For a name whose extension is hex or qfw in another case (FW.HEX), that
/// it is read as a raw image; empty for any other name.
std::string extensionCaseNote(const std::string& path);
