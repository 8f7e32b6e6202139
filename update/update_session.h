// The update mode: load the firmware file, pick the one device of the file's
// model, switch it into its bootloader and stream the image to it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "image/firmware_info.h"

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

/// How an update ended. Each code has a fixed name (updateOutcomeName) that
/// scripts can rely on.
enum class UpdateOutcome : uint8_t {
  kUpdated,
  kInvalidFile,              ///< the file is not a valid firmware file
  kEmptyImage,               ///< the image has no bytes
  kNoDevice,                 ///< no device with the ids (and --port/--serial) is listed
  kWrongModel,               ///< none of the listed devices reports the file's model
  kMultipleDevices,          ///< several do
  kGetInfo,                  ///< no answer to CmdGetInfo (before or after the switch)
  kProtocolVersion,          ///< the device speaks an unknown protocol version
  kProtocolMismatch,         ///< it offers none of the protocol bits the file asks for
  kSwitchTimeout,            ///< its bootloader did not show up in time
  kBootloaderNotResponding,  ///< the bootloader never answered its version request
  kWrongBootloaderModel,     ///< the bootloader reports another model
  kSetProtocol,              ///< CmdSetProtocol failed
  kStartUpdate,              ///< no answer to CmdStartUpdate
  kWrite,                    ///< a chunk went unanswered six times
  kVerify,                   ///< the device did not confirm the image
  kInterrupted,              ///< Ctrl-C or SIGTERM
};

/// The fixed name of an outcome ("updated", "switch-timeout", ...).
const char* updateOutcomeName(UpdateOutcome outcome);

/// The end of the last update session.
struct UpdateResult {
  UpdateOutcome outcome = UpdateOutcome::kUpdated;
  uint32_t state = 0;         ///< the state it ended in (StateFinish when updated)
  std::string message;        ///< what it printed about the failure; empty for a silent one
  std::string detail;         ///< for a failure without a message of its own: why, in English
  uint32_t offset = 0;        ///< kWrite: offset of the chunk that went unanswered
  std::string port;           ///< the device's port, empty when unknown or none selected
  std::string serial;         ///< its serial number
  std::string versionBefore;  ///< the version it reported before the update
};

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
