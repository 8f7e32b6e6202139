// The update mode: load the firmware file, pick the one device of the file's
// model, switch it into its bootloader and stream the image to it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "image/firmware_info.h"
#include "update/update_result.h"

/// Values of gContext.sessionState.
enum SessionState : uint32_t {
  StateIdle = 0,  ///< no session running; also the value after a failure
  StateStart = 1,
  StateQueryMode = 2,
  StateWaitBootloader = 3,
  StateCheckModel = 4,
  StateQueryBootloader = 5,
  StateSetProtocol = 6,
  StateStartUpdate = 7,
  StateWriteData = 8,
  StateVerify = 9,
  StateFinish = 10,  ///< kept after a completed update
};

/// Image bytes carried by one CmdWriteData.
constexpr uint32_t kChunkSize = 16;
/// Sends of one chunk before the update gives up.
constexpr uint32_t kMaxChunkSends = 6;
/// Pause between two looks for the bootloader after the switch.
constexpr uint32_t kBootloaderPollMs = 500;
/// Whole seconds after the switch at which waiting for the bootloader ends.
constexpr int64_t kSwitchTimeoutSeconds = 11;
/// Consecutive failed version requests to the bootloader before giving up.
constexpr uint32_t kBootloaderVersionAttempts = 10;

/// Called once the image is loaded, before any device is touched.
using ImageLoadedHook = std::function<void(const FirmwareInfo&)>;

/// Runs the whole update mode from gContext, printing progress and failures to
/// standard error. Afterwards gContext.sessionState is StateFinish when the
/// update completed and StateIdle when it failed (the image then released).
void runUpdateSession(const ImageLoadedHook& afterLoad = nullptr);

/// True when the last session completed.
bool updateSucceeded();

/// How the last session ended.
const UpdateResult& lastUpdateResult();
