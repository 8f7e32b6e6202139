// The update: load the firmware file, pick the one device of the file's
// model, switch it into its bootloader and stream the image to it.
//
// A session is a value: it is made from what it needs (the image, a device
// filter, the platform, a listener, a stop request), owns its cursor and its
// frame sequence, and returns how it ended. It touches nothing global, so any
// number of sessions can run at once, one per thread, over one platform that
// is safe to share between threads.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "hid/device_filter.h"
#include "hid/hid_platform.h"
#include "hid/transaction.h"
#include "image/firmware_image.h"
#include "image/firmware_info.h"
#include "image/image_loader.h"
#include "update/session_listener.h"
#include "update/stop_request.h"
#include "update/update_image.h"
#include "update/update_result.h"
#include "update/version_policy.h"

/// Values of SessionCursor::sessionState.
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

/// The name of a SessionState ("verify"), or "unknown".
const char* sessionStateName(uint32_t state);

/// Where a session stands.
struct SessionCursor {
  uint32_t sessionState = StateIdle;
  /// The state loop runs while it is true.
  bool sessionActive = false;
  /// Offset in the image of the next chunk to write.
  uint32_t writeOffset = 0;
  /// Length of the chunk being written, 1 to 16.
  uint8_t chunkLength = 0;
  /// Sends of the current chunk so far, at most 6.
  uint8_t retryCount = 0;
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

/// What a session works with. Everything is borrowed and must outlive the
/// session; nothing of it is changed, so sessions may share it.
struct UpdateSetup {
  /// The loaded image, not empty; read-only.
  const FirmwareImage* image = nullptr;
  /// What the file says of itself: its model selects the device.
  const FirmwareInfo* info = nullptr;
  /// The ids, and the port or serial of one device.
  DeviceFilter filter;
  HidPlatform* platform = nullptr;
  /// Null: nobody listens.
  SessionListener* listener = nullptr;
  /// Told about every exchange; null: nobody.
  ExchangeListener* exchanges = nullptr;
  /// Null: the session runs to its end. Told when the device waits in its
  /// bootloader.
  StopRequest* stop = nullptr;
  /// The bootloader's ids were named (-bv and -bp): after an interruption the
  /// same command finishes the update.
  bool bootIdsGiven = false;
  /// A failure without a message of its own says why, on a line of its own.
  bool verbose = false;
  /// What the versions decide, right after the device is selected: nothing
  /// by default.
  VersionPolicy policy;
};

/// A device a survey of several devices has already asked for its version,
/// handed to the session that updates it. The session takes over the record
/// (made by a CHidManager and released from it) and goes on with its frame
/// sequence.
struct SurveyedDevice {
  HidDevice* device = nullptr;
  uint8_t frameSequence = 1;
  std::string model;
  std::string version;
};

/// Runs one update: lists the devices of setup.filter, asks each for its
/// version, picks the one of the file's model and updates it, saying its
/// progress and any failure through the listener. cursor is the session's
/// (left at StateFinish after a completed update, StateIdle after a failure).
/// The image is never released here.
UpdateResult runUpdateSession(const UpdateSetup& setup, SessionCursor& cursor);

/// The same for a device already surveyed: no listing and no further version
/// request; the session starts at its state loop. The device is closed and
/// freed when the session ends.
UpdateResult runUpdateSession(const UpdateSetup& setup, SessionCursor& cursor,
                              const SurveyedDevice& device);

/// Called once the image is loaded, before any device is touched.
using ImageLoadedHook = std::function<void(const FirmwareInfo&)>;

/// The whole update of one file, as the command line runs it: loads path
/// into image (the caller's own record) and info, checking what check asks
/// of it, then runs a session with setup (whose image and info it sets).
/// After a failure the image is released and cursor left at StateIdle.
UpdateResult runFileUpdate(const std::string& path, TextEncoding encoding, FirmwareImage& image,
                           FirmwareInfo& info, SessionCursor& cursor, UpdateSetup setup,
                           const ImageLoadedHook& afterLoad = nullptr,
                           const ImageCheck* check = nullptr);
