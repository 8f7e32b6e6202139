#include "update/update_session.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "app/message.h"
#include "app/update_context.h"
#include "hid/hid_manager.h"
#include "hid/hid_platform.h"
#include "hid/transaction.h"
#include "image/image_loader.h"
#include "update/commands.h"
#include "update/interruption.h"
#include "update/permission_hint.h"
#include "update/session_listener.h"

namespace {

UpdateResult gLastResult;

// Stands in when nobody listens.
SessionListener gQuiet;
SessionListener* gListener = &gQuiet;

constexpr uint32_t kTextBufferSize = 64;
constexpr uint8_t kGetInfoMinLengthForFlag = 9;  // the application flag counts above this

// What the last well-formed CmdGetInfo response said. Empty until one came:
// a version nobody reported is an unknown version.
struct BootloaderInfo {
  uint16_t protocolVersion = 0;
  uint8_t capabilityMask = 0;
};

class UpdateSession {
 public:
  explicit UpdateSession(const ImageLoadedHook& afterLoad) : afterLoad_(afterLoad) {}
  void run();

 private:
  bool prepare();
  bool selectDevice();
  // Each state action returns false when the session has to take the failure exit.
  bool step();
  bool queryMode();
  bool waitBootloader();
  bool checkModel();
  bool queryBootloader();
  bool setProtocol();
  bool startUpdate();
  bool writeData();
  bool verify();
  void finish();

  bool negotiate();
  // An answer without the marker leaves the texts alone; cleared before each
  // request, they cannot pass one device's model or version off as another's.
  void clearTexts() {
    std::memset(modelText_, 0, sizeof modelText_);
    std::memset(versionText_, 0, sizeof versionText_);
  }
  TransactionStatus exchange(const uint8_t* payload, uint8_t length, uint8_t flag,
                             uint8_t* response);
  // True when Ctrl-C or SIGTERM asked the update to stop; says then what state
  // the device is left in.
  bool stopRequested();
  void takeInfo(const uint8_t* response);
  // Prints text (when there is one) and notes why the session ends; false.
  bool fail(UpdateOutcome outcome, const char* text);
  // In English, why a failure without a message of its own happened.
  std::string silentReason(UpdateOutcome outcome) const;
  void failureExit();

  const ImageLoadedHook& afterLoad_;
  FirmwareInfo info_;
  std::unique_ptr<CHidManager> manager_;
  HidDevice* selected_ = nullptr;
  char modelText_[kTextBufferSize] = {};
  char versionText_[kTextBufferSize] = {};
  std::optional<BootloaderInfo> bootInfo_;
  int64_t switchStartMs_ = 0;
  uint32_t versionFailures_ = 0;
  uint8_t lastPercent_ = 0;
  bool inBootloader_ = false;  // the device has been switched, or was found there
  std::string selectedPort_;   // the switched device's port; empty when unknown
  TransactionStatus lastStatus_ = kTransactionOk;
};

void UpdateSession::run() {
  if (!prepare() || !selectDevice()) {
    failureExit();
    return;
  }
  lastPercent_ = 0;
  gContext.sessionActive = true;
  gContext.sessionState = StateStart;
  gListener->stateChanged(StateIdle, StateStart);
  while (gContext.sessionActive) {
    const bool finishing = gContext.sessionState == StateFinish;
    // A verified image is finished even after a stop request: the device is
    // better off running it than waiting in its bootloader.
    if (!finishing && stopRequested()) {
      failureExit();
      return;
    }
    const uint32_t before = gContext.sessionState;
    const bool stepped = step();
    if (gContext.sessionState != before) gListener->stateChanged(before, gContext.sessionState);
    if (!stepped) {
      failureExit();
      return;
    }
    if (finishing) break;
  }
  manager_.reset();
}

bool UpdateSession::prepare() {
  gContext.imageLength = 0;
  gContext.protocolSelection = 0;
  if (!loadFirmwareImage(info_, gContext.firmwarePath)) {
    return fail(UpdateOutcome::kInvalidFile, "Error: The input file is not a valid firmware file!");
  }
  // An empty image has nothing to send, and its progress would divide by zero.
  if (gContext.imageLength == 0) {
    return fail(UpdateOutcome::kEmptyImage, "Error: The firmware image is empty\n");
  }
  if (afterLoad_) afterLoad_(info_);

  manager_ = std::make_unique<CHidManager>();
  manager_->refreshDevices();
  uint32_t selectable = 0;
  for (HidDevice* device = manager_->firstDevice(); device != nullptr;
       device = manager_->nextDevice()) {
    gListener->deviceListed(*device);
    if (isSelectedDevice(*device)) ++selectable;
  }
  if (selectable == 0) {
    fail(UpdateOutcome::kNoDevice, "No specified VID/PID HID device detected!");
    printHidPermissionHint(true);
    return false;
  }
  return !stopRequested();
}

bool UpdateSession::selectDevice() {
  uint32_t matchCount = 0;
  for (HidDevice* device = manager_->firstDevice(); device != nullptr;
       device = manager_->nextDevice()) {
    if (stopRequested()) return false;
    // --port and --serial narrow the choice before anything is asked.
    if (!isSelectedDevice(*device)) continue;
    device->protocolMask = gContext.protocolMask;
    clearTexts();
    if (readFirmwareVersion(device, modelText_, versionText_) != kTransactionOk) continue;
    message("Deveice Firmware Version: %s\n", versionText_);
    gListener->versionRead(*device, modelText_, versionText_);
    if (info_.model == modelText_) {
      ++matchCount;
      selected_ = device;
      gLastResult.port = device->port;
      gLastResult.serial = device->serial;
      gLastResult.versionBefore = versionText_;
    }
  }
  if (matchCount == 0) {
    return fail(UpdateOutcome::kWrongModel, "Device not connected\n");
  }
  if (matchCount == 1) gListener->deviceSelected(*selected_, modelText_, gLastResult.versionBefore);
  if (matchCount > 1) {
    return fail(UpdateOutcome::kMultipleDevices,
                "Multiple HID devices detected, please disconnect other HID devices\n");
  }
  return true;
}

bool UpdateSession::step() {
  switch (gContext.sessionState) {
    case StateStart:
      gContext.sessionState = StateQueryMode;
      return true;
    case StateQueryMode:
      return queryMode();
    case StateWaitBootloader:
      return waitBootloader();
    case StateCheckModel:
      return checkModel();
    case StateQueryBootloader:
      return queryBootloader();
    case StateSetProtocol:
      return setProtocol();
    case StateStartUpdate:
      return startUpdate();
    case StateWriteData:
      return writeData();
    case StateVerify:
      return verify();
    case StateFinish:
      finish();
      return true;
    default:
      return false;
  }
}

TransactionStatus UpdateSession::exchange(const uint8_t* payload, uint8_t length, uint8_t flag,
                                          uint8_t* response) {
  std::memset(response, 0, kFrameBufferSize);
  uint8_t bytesRead = 0;
  lastStatus_ = sendTransaction(selected_, payload, length, flag, response, &bytesRead);
  return lastStatus_;
}

void UpdateSession::takeInfo(const uint8_t* response) {
  if (!isWellFormedResponse(response, CmdGetInfo)) return;
  BootloaderInfo info;
  info.protocolVersion = static_cast<uint16_t>(response[kInfoProtocolVersionOffset] |
                                               response[kInfoProtocolVersionOffset + 1] << 8);
  info.capabilityMask = response[kInfoCapabilityMaskOffset];
  bootInfo_ = info;
  gListener->protocolVersion(info.protocolVersion, info.capabilityMask);
}

bool UpdateSession::negotiate() {
  const uint8_t capabilities = bootInfo_ ? bootInfo_->capabilityMask : 0;
  if (gContext.protocolSelection != 0 && (capabilities & gContext.protocolSelection) == 0) {
    return fail(UpdateOutcome::kProtocolMismatch, "Error: Protocol version mismatch\n");
  }
  gContext.protocolSelection &= capabilities;
  gContext.sessionState = StateSetProtocol;
  return true;
}

bool UpdateSession::queryMode() {
  const uint8_t request[] = {CmdGetInfo};
  uint8_t response[kFrameBufferSize];
  if (exchange(request, sizeof request, 0, response) != kTransactionOk)
    return fail(UpdateOutcome::kGetInfo, nullptr);
  takeInfo(response);

  // The switch depends on the length byte alone, not on the marker and echo.
  if (response[kOffsetLength] > kGetInfoMinLengthForFlag &&
      response[kInfoApplicationFlagOffset] != 0) {
    message("Swithing to bootloader...\n");
    const uint8_t enter[] = {CmdEnterBootloader};
    inBootloader_ = true;
    gListener->switching();
    exchange(enter, sizeof enter, 0, response);
    gContext.sessionState = StateWaitBootloader;
    switchStartMs_ = hidPlatform().monotonicMilliseconds();
    selectedPort_ = selected_->port;
    manager_->removeAllDevices();
    selected_ = nullptr;
    return true;
  }

  inBootloader_ = true;
  const uint16_t version = bootInfo_ ? bootInfo_->protocolVersion : 0;
  if (version != 1 && version != 2)
    return fail(UpdateOutcome::kProtocolVersion, "Error: Unknown protocol version\n");
  return negotiate();
}

bool UpdateSession::waitBootloader() {
  message("Waiting bootloader...\n");
  manager_->refreshDevices();
  HidDevice* bootloader = nullptr;
  if (!selectedPort_.empty()) {
    // Bound to the port of the device that was switched: a bootloader that
    // appears elsewhere is another station's device, whatever its age.
    for (HidDevice* device = manager_->firstDevice(); device != nullptr;
         device = manager_->nextDevice())
      if (device->mode == kModeBootloader && device->port == selectedPort_) bootloader = device;
  } else {
    HidDevice* newest = manager_->lastAddedDevice();
    if (manager_->deviceCount() > 0 && newest != nullptr && newest->mode == kModeBootloader)
      bootloader = newest;
  }
  if (bootloader != nullptr) {
    selected_ = bootloader;
    selected_->protocolMask = gContext.protocolMask;
    gContext.sessionState = StateCheckModel;
    message("Bootloader Connected\n");
    gListener->bootloaderConnected(*selected_);
  } else {
    hidPlatform().sleepMilliseconds(kBootloaderPollMs);
  }
  // Elapsed time on a monotonic clock: a clock step cannot stretch or end the wait.
  const int64_t elapsedSeconds = (hidPlatform().monotonicMilliseconds() - switchStartMs_) / 1000;
  if (elapsedSeconds >= kSwitchTimeoutSeconds) {
    fail(UpdateOutcome::kSwitchTimeout, "Error: Switch to bootloader timeout\n");
    // The usual cause on a new machine: access was granted to the application
    // ids only, and the bootloader's node cannot be opened.
    printHidPermissionHint(false);
    return false;
  }
  return true;
}

bool UpdateSession::checkModel() {
  clearTexts();
  if (readFirmwareVersion(selected_, modelText_, versionText_) != kTransactionOk) {
    if (++versionFailures_ >= kBootloaderVersionAttempts) {
      return fail(UpdateOutcome::kBootloaderNotResponding, "Error: Bootloader not responding\n");
    }
    return true;
  }
  versionFailures_ = 0;
  if (info_.model != modelText_) {
    return fail(UpdateOutcome::kWrongBootloaderModel, "Error: Incorrect bootloader model\n");
  }
  gContext.sessionState = StateQueryBootloader;
  return true;
}

bool UpdateSession::queryBootloader() {
  message("Get bootloader protocol version...\n");
  const uint8_t request[] = {CmdGetInfo};
  uint8_t response[kFrameBufferSize];
  if (exchange(request, sizeof request, 0, response) != kTransactionOk)
    return fail(UpdateOutcome::kGetInfo, nullptr);
  takeInfo(response);
  // A bootloader reached by the switch speaks version 1 only.
  if (!bootInfo_ || bootInfo_->protocolVersion != 1)
    return fail(UpdateOutcome::kProtocolVersion, "Error: Unknown protocol version\n");
  return negotiate();
}

bool UpdateSession::setProtocol() {
  const uint8_t request[] = {CmdSetProtocol, gContext.protocolSelection};
  uint8_t response[kFrameBufferSize];
  if (exchange(request, sizeof request, 0, response) != kTransactionOk ||
      !isWellFormedResponse(response, CmdSetProtocol) ||
      response[kSetProtocolResultOffset] != kCommandSucceeded) {
    return fail(UpdateOutcome::kSetProtocol, "Error: set procotol failed\n");
  }
  gContext.sessionState = StateStartUpdate;
  return true;
}

bool UpdateSession::startUpdate() {
  message("Start updating\n");
  const uint8_t request[] = {CmdStartUpdate};
  uint8_t response[kFrameBufferSize];
  if (exchange(request, sizeof request, 1, response) != kTransactionOk)
    return fail(UpdateOutcome::kStartUpdate, nullptr);
  gContext.sessionState = StateWriteData;
  message("Writing firmware data...\n");
  return true;
}

bool UpdateSession::writeData() {
  const uint32_t left = gContext.imageLength - gContext.writeOffset;
  gContext.retryCount = 0;
  gContext.chunkLength = static_cast<uint8_t>(left <= kChunkSize ? left : kChunkSize);

  uint8_t request[1 + kChunkSize];
  request[0] = CmdWriteData;
  std::memcpy(request + 1, gContext.imageData + gContext.writeOffset, gContext.chunkLength);
  const uint8_t length = static_cast<uint8_t>(1 + gContext.chunkLength);
  uint8_t response[kFrameBufferSize];
  // Only a missing answer resends the chunk; the answer itself is not examined.
  for (;;) {
    const TransactionStatus status = exchange(request, length, 1, response);
    const uint8_t attempt = gContext.retryCount++;
    if (status == kTransactionOk) break;
    if (stopRequested()) return false;
    if (attempt + 1u >= kMaxChunkSends) {
      gLastResult.offset = gContext.writeOffset;
      return fail(UpdateOutcome::kWrite, nullptr);
    }
  }

  gContext.writeOffset += gContext.chunkLength;
  // 64-bit, so that images beyond 42,949,672 bytes still show the right value.
  const auto percent =
      static_cast<uint8_t>(uint64_t{gContext.writeOffset} * 100 / gContext.imageLength);
  if (percent != lastPercent_) {
    lastPercent_ = percent;
    if (percent == 100)
      message("Process: %%%d\n", percent);
    else
      message("Process: %%%d\r", percent);
    gListener->progress(percent);
  }
  if (gContext.writeOffset >= gContext.imageLength) gContext.sessionState = StateVerify;
  return true;
}

bool UpdateSession::verify() {
  message("Verifying...\n");
  uint8_t request[9];
  const uint8_t length = buildVerifyPayload(gContext.imageCrc, gContext.checkWord, request);
  uint8_t response[kFrameBufferSize];
  if (exchange(request, length, 0, response) != kTransactionOk ||
      !isWellFormedResponse(response, CmdVerify) ||
      response[kVerifyResultOffset] != kCommandSucceeded) {
    gListener->verified(false);
    return fail(UpdateOutcome::kVerify, "Verify failed\n");
  }
  gListener->verified(true);
  gContext.sessionState = StateFinish;
  return true;
}

void UpdateSession::finish() {
  message("Update completed\n");
  const uint8_t request[] = {CmdFinish};
  uint8_t response[kFrameBufferSize];
  exchange(request, sizeof request, 0, response);
}

bool UpdateSession::stopRequested() {
  if (interruptSignal() == 0) return false;
  // A progress line waits for its carriage return to be overwritten.
  if (lastPercent_ != 0 && lastPercent_ != 100) messageText("\n");
  fail(UpdateOutcome::kInterrupted,
       inBootloader_ ? "Interrupted: the device waits in its bootloader; run the same command with "
                       "-bv and -bp (its bootloader ids) to finish the update\n"
                     : "Interrupted: nothing was written; the device still runs its firmware\n");
  return true;
}

std::string UpdateSession::silentReason(UpdateOutcome outcome) const {
  const char* why = lastStatus_ == kTransactionTimeout ? "no answer within a second"
                                                       : "the device is gone or failed";
  char text[160];
  switch (outcome) {
    case UpdateOutcome::kGetInfo:
      std::snprintf(text, sizeof text, "Error: %s the information request (%s)",
                    gContext.sessionState == StateQueryBootloader ? "the bootloader did not answer"
                                                                  : "no answer to",
                    why);
      break;
    case UpdateOutcome::kStartUpdate:
      std::snprintf(text, sizeof text, "Error: no answer to the start request (%s)", why);
      break;
    case UpdateOutcome::kWrite:
      std::snprintf(text, sizeof text,
                    "Error: no answer to the write request at offset 0x%04X after %u sends (%s)",
                    static_cast<unsigned>(gContext.writeOffset), kMaxChunkSends, why);
      break;
    default:
      std::snprintf(text, sizeof text, "Error: %s", updateOutcomeName(outcome));
      break;
  }
  return text;
}

bool UpdateSession::fail(UpdateOutcome outcome, const char* text) {
  gLastResult.outcome = outcome;
  gLastResult.state = gContext.sessionState;
  if (text != nullptr) {
    messageText(text);
    gLastResult.message = text;
    return false;
  }
  // A failure the session names no message for: --verbose says why, on a
  // line of its own.
  gLastResult.detail = silentReason(outcome);
  if (gContext.verbose) {
    if (lastPercent_ != 0 && lastPercent_ != 100) messageText("\n");
    gLastResult.message = gLastResult.detail + "\n";
    messageText(gLastResult.message.c_str());
  }
  return false;
}

void UpdateSession::failureExit() {
  gContext.releaseImage();
  gContext.sessionState = StateIdle;
  manager_.reset();
}

}  // namespace

void runUpdateSession(const ImageLoadedHook& afterLoad) {
  gLastResult = UpdateResult{};
  UpdateSession session(afterLoad);
  session.run();
  if (updateSucceeded()) gLastResult.state = StateFinish;
  gListener->finished(gLastResult);
}

void setSessionListener(SessionListener* listener) {
  gListener = listener != nullptr ? listener : &gQuiet;
}

bool updateSucceeded() {
  return gContext.sessionState == StateFinish;
}

const UpdateResult& lastUpdateResult() {
  return gLastResult;
}
