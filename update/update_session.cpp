#include "update/update_session.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "common/printable_text.h"
#include "hid/hid_manager.h"
#include "update/commands.h"
#include "update/device_survey.h"
#include "update/permission_hint.h"

namespace {

constexpr uint8_t kGetInfoMinLengthForFlag = 9;  // the application flag counts above this

// What the last well-formed CmdGetInfo response said. Empty until one came:
// a version nobody reported is an unknown version.
struct BootloaderInfo {
  uint16_t protocolVersion = 0;
  uint8_t capabilityMask = 0;
};

class UpdateSession {
 public:
  UpdateSession(const UpdateSetup& setup, SessionCursor& cursor)
      : setup_(setup),
        image_(*setup.image),
        cursor_(cursor),
        listener_(setup.listener != nullptr ? *setup.listener : quiet_),
        protocolSelection_(setup.image->protocolSelection) {
    link_.listener = setup.exchanges;
  }
  UpdateResult run(const SurveyedDevice* surveyed);

 private:
  bool prepare();
  bool selectDevice();
  void takeOver(const SurveyedDevice& surveyed);
  // The version policy for the selected device; false when it is not to be
  // switched (up to date, or a refused downgrade).
  bool applyPolicy();
  void runStates();
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
  [[gnu::format(printf, 2, 3)]] void say(const char* format, ...);
  void sayText(const char* text) { listener_.message(text); }
  TransactionStatus exchange(const uint8_t* payload, uint8_t length, uint8_t flag,
                             uint8_t* response);
  // True when Ctrl-C or SIGTERM asked the update to stop; says then what state
  // the device is left in.
  bool stopRequested();
  // From now on the device waits in its bootloader until the update ends.
  void enterBootloader();
  void takeInfo(const uint8_t* response);
  // Prints text (when there is one) and notes why the session ends; false.
  bool fail(UpdateOutcome outcome, const char* text);
  // In English, why a failure without a message of its own happened.
  std::string silentReason(UpdateOutcome outcome) const;
  void failureExit();

  const UpdateSetup& setup_;
  const FirmwareImage& image_;
  SessionCursor& cursor_;
  SessionListener quiet_;  // stands in when nobody listens
  SessionListener& listener_;
  TransactionLink link_;
  UpdateResult result_;
  // The file asks for it; narrowed to what the device offers.
  uint8_t protocolSelection_;
  std::unique_ptr<CHidManager> manager_;
  HidDevice* selected_ = nullptr;
  std::string selectedModel_;
  std::optional<BootloaderInfo> bootInfo_;
  int64_t switchStartMs_ = 0;
  uint32_t versionFailures_ = 0;
  uint8_t lastPercent_ = 0;
  bool inBootloader_ = false;  // the device has been switched, or was found there
  std::string selectedPort_;   // the switched device's port; empty when unknown
  TransactionStatus lastStatus_ = kTransactionOk;
  std::string lastError_;           // the system's words for the last failed exchange
  size_t openFailuresTold_ = 0;     // of manager_->openFailures(), told already
};

UpdateResult UpdateSession::run(const SurveyedDevice* surveyed) {
  const int64_t startMs = setup_.platform->monotonicMilliseconds();
  // A cursor used before (a retry, the next device) starts from the image's start.
  cursor_ = SessionCursor();
  result_.fileModel = setup_.info->model;
  result_.fileVersion = setup_.info->version;
  result_.sha256 = setup_.info->sha256;
  result_.keyId = setup_.info->keyId;
  manager_ = std::make_unique<CHidManager>(*setup_.platform, setup_.filter);
  if (surveyed != nullptr) {
    takeOver(*surveyed);
    if (!stopRequested() && applyPolicy()) runStates();
  } else if (prepare() && selectDevice() && applyPolicy()) {
    runStates();
  }
  if (cursor_.sessionState == StateFinish) {
    result_.outcome = UpdateOutcome::kUpdated;
    result_.state = StateFinish;
    // It runs its new firmware now.
    if (inBootloader_ && setup_.stop != nullptr) setup_.stop->deviceInBootloader(false);
  } else {
    failureExit();
  }
  manager_.reset();
  result_.seconds = static_cast<double>(setup_.platform->monotonicMilliseconds() - startMs) / 1000;
  listener_.finished(result_);
  return result_;
}

void UpdateSession::takeOver(const SurveyedDevice& surveyed) {
  manager_->adoptDevice(surveyed.device);
  selected_ = surveyed.device;
  selectedModel_ = surveyed.model;
  link_.frameSequence = surveyed.frameSequence;
  result_.port = selected_->port;
  result_.serial = selected_->serial;
  result_.versionBefore = surveyed.version;
  selected_->protocolMask = image_.protocolMask;
  listener_.deviceSelected(*selected_, selectedModel_, result_.versionBefore);
}

void UpdateSession::runStates() {
  lastPercent_ = 0;
  cursor_.sessionActive = true;
  cursor_.sessionState = StateStart;
  listener_.stateChanged(StateIdle, StateStart);
  while (cursor_.sessionActive) {
    const bool finishing = cursor_.sessionState == StateFinish;
    // A verified image is finished even after a stop request: the device is
    // better off running it than waiting in its bootloader.
    if (!finishing && stopRequested()) return;
    const uint32_t before = cursor_.sessionState;
    const bool stepped = step();
    if (cursor_.sessionState != before) listener_.stateChanged(before, cursor_.sessionState);
    if (!stepped) {
      cursor_.sessionState = StateIdle;
      return;
    }
    if (finishing) break;
  }
}

bool UpdateSession::prepare() {
  const bool listed = listSurveyedDevices(*manager_, listener_);
  openFailuresTold_ = manager_->openFailures().size();
  if (!listed) {
    result_.outcome = UpdateOutcome::kNoDevice;
    result_.message = "No specified VID/PID HID device detected!";
    return false;
  }
  return !stopRequested();
}

bool UpdateSession::selectDevice() {
  uint32_t matchCount = 0;
  for (HidDevice* device = manager_->firstDevice(); device != nullptr;
       device = manager_->nextDevice()) {
    if (stopRequested()) return false;
    const DeviceAnswer answer = askDeviceVersion(link_, *device, image_.protocolMask, listener_);
    if (answer.status != kTransactionOk) {
      // Passed over without a message of its own; "Device not connected"
      // would otherwise leave the operator guessing.
      if (setup_.verbose)
        sayText((unansweredVersionReason(*device, answer.status, true) + "\n").c_str());
      continue;
    }
    if (setup_.info->model == answer.model) {
      ++matchCount;
      result_.ports.push_back(device->port);
      selected_ = device;
      selectedModel_ = answer.model;
      result_.port = device->port;
      result_.serial = device->serial;
      result_.versionBefore = answer.version;
    }
  }
  if (matchCount == 0) {
    return fail(UpdateOutcome::kWrongModel, "Device not connected\n");
  }
  if (matchCount > 1) {
    return fail(UpdateOutcome::kMultipleDevices,
                "Multiple HID devices detected, please disconnect other HID devices\n");
  }
  result_.ports.clear();
  listener_.deviceSelected(*selected_, selectedModel_, result_.versionBefore);
  return true;
}

bool UpdateSession::applyPolicy() {
  const VersionPolicy& policy = setup_.policy;
  if (!policy.active()) return true;
  const DeviceVersion device{selectedModel_, result_.versionBefore,
                             selected_->mode == kModeBootloader};
  const std::string& fileVersion = setup_.info->version;
  std::string refusal;
  switch (decideVersionPolicy(device, setup_.info->model, fileVersion)) {
    case PolicyVerdict::kUpdate:
      if (device.inBootloader)
        sayText(
            "The device waits in its bootloader: it has no firmware version to compare; "
            "updating it\n");
      return true;
    case PolicyVerdict::kUpToDate:
      if (!policy.skipIfCurrent) return true;
      sayText(
          ("Up to date: the device runs " + device.version + ", the file's version; not updated\n")
              .c_str());
      result_.outcome = UpdateOutcome::kUpToDate;
      result_.state = cursor_.sessionState;
      return false;
    case PolicyVerdict::kDowngrade:
      refusal = "Error: the file's version " + fileVersion + " is older than the device's " +
                device.version + "; not updated\n";
      break;
    case PolicyVerdict::kIncomparable:
      refusal = fileVersion.empty()
                    ? "Error: the file carries no version to compare with the device's " +
                          device.version + " (state it with --file-version); not updated\n"
                    : "Error: the file's version " + fileVersion +
                          " cannot be compared with the device's " + device.version +
                          "; not updated\n";
      break;
    case PolicyVerdict::kWrongModel:
      return true;  // the device was selected by its model
  }
  if (!policy.noDowngrade) return true;
  return fail(UpdateOutcome::kDowngradeRefused, refusal.c_str());
}

bool UpdateSession::step() {
  switch (cursor_.sessionState) {
    case StateStart:
      cursor_.sessionState = StateQueryMode;
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
  lastStatus_ = sendTransaction(link_, selected_, payload, length, flag, response, &bytesRead);
  lastError_.clear();
  if (lastStatus_ != kTransactionOk && selected_ != nullptr && selected_->handle)
    lastError_ = selected_->handle->lastError();
  return lastStatus_;
}

void UpdateSession::takeInfo(const uint8_t* response) {
  if (!isWellFormedResponse(response, CmdGetInfo)) return;
  BootloaderInfo info;
  info.protocolVersion = static_cast<uint16_t>(response[kInfoProtocolVersionOffset] |
                                               response[kInfoProtocolVersionOffset + 1] << 8);
  info.capabilityMask = response[kInfoCapabilityMaskOffset];
  bootInfo_ = info;
  listener_.protocolVersion(info.protocolVersion, info.capabilityMask);
}

bool UpdateSession::negotiate() {
  const uint8_t capabilities = bootInfo_ ? bootInfo_->capabilityMask : 0;
  if (protocolSelection_ != 0 && (capabilities & protocolSelection_) == 0) {
    return fail(UpdateOutcome::kProtocolMismatch, "Error: Protocol version mismatch\n");
  }
  protocolSelection_ &= capabilities;
  cursor_.sessionState = StateSetProtocol;
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
    say("Swithing to bootloader...\n");
    const uint8_t enter[] = {CmdEnterBootloader};
    enterBootloader();
    listener_.switching();
    exchange(enter, sizeof enter, 0, response);
    cursor_.sessionState = StateWaitBootloader;
    switchStartMs_ = setup_.platform->monotonicMilliseconds();
    selectedPort_ = selected_->port;
    manager_->removeAllDevices();
    selected_ = nullptr;
    // The bootloader may call itself by another serial number; where the
    // system tells ports, it shows up on the port of the device switched.
    DeviceFilter bootloaderFilter = setup_.filter;
    bootloaderFilter.selectSerial.clear();
    bootloaderFilter.selectPort = selectedPort_;
    manager_->setFilter(bootloaderFilter);
    return true;
  }

  enterBootloader();
  const uint16_t version = bootInfo_ ? bootInfo_->protocolVersion : 0;
  if (version != 1 && version != 2)
    return fail(UpdateOutcome::kProtocolVersion, "Error: Unknown protocol version\n");
  return negotiate();
}

bool UpdateSession::waitBootloader() {
  say("Waiting bootloader...\n");
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
    selected_->protocolMask = image_.protocolMask;
    cursor_.sessionState = StateCheckModel;
    say("Bootloader Connected\n");
    listener_.bootloaderConnected(*selected_);
  } else {
    setup_.platform->sleepMilliseconds(kBootloaderPollMs);
  }
  // Elapsed time on a monotonic clock: a clock step cannot stretch or end the wait.
  const int64_t elapsedSeconds = (setup_.platform->monotonicMilliseconds() - switchStartMs_) / 1000;
  if (elapsedSeconds >= kSwitchTimeoutSeconds) {
    fail(UpdateOutcome::kSwitchTimeout, "Error: Switch to bootloader timeout\n");
    // Interfaces met while waiting that could not be opened, with the
    // system's words (the log names them).
    const std::vector<OpenFailure>& failures = manager_->openFailures();
    for (size_t i = openFailuresTold_; i < failures.size(); ++i)
      listener_.interfaceNotOpened(failures[i].node, failures[i].why);
    // The usual cause on a new machine: access was granted to the application
    // ids only, and the bootloader's node cannot be opened.
    printHidPermissionHint(listener_, manager_->permissionProblems(),
                           setup_.platform->permissionAdvice(), false);
    return false;
  }
  return true;
}

bool UpdateSession::checkModel() {
  char model[64] = {};
  char version[64] = {};
  if (readFirmwareVersion(link_, selected_, model, version) != kTransactionOk) {
    if (++versionFailures_ >= kBootloaderVersionAttempts) {
      return fail(UpdateOutcome::kBootloaderNotResponding, "Error: Bootloader not responding\n");
    }
    return true;
  }
  versionFailures_ = 0;
  if (setup_.info->model != model) {
    return fail(UpdateOutcome::kWrongBootloaderModel, "Error: Incorrect bootloader model\n");
  }
  cursor_.sessionState = StateQueryBootloader;
  return true;
}

bool UpdateSession::queryBootloader() {
  say("Get bootloader protocol version...\n");
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
  const uint8_t request[] = {CmdSetProtocol, protocolSelection_};
  uint8_t response[kFrameBufferSize];
  if (exchange(request, sizeof request, 0, response) != kTransactionOk ||
      !isWellFormedResponse(response, CmdSetProtocol) ||
      response[kSetProtocolResultOffset] != kCommandSucceeded) {
    return fail(UpdateOutcome::kSetProtocol, "Error: set procotol failed\n");
  }
  cursor_.sessionState = StateStartUpdate;
  return true;
}

bool UpdateSession::startUpdate() {
  say("Start updating\n");
  const uint8_t request[] = {CmdStartUpdate};
  uint8_t response[kFrameBufferSize];
  if (exchange(request, sizeof request, 1, response) != kTransactionOk)
    return fail(UpdateOutcome::kStartUpdate, nullptr);
  cursor_.sessionState = StateWriteData;
  say("Writing firmware data...\n");
  return true;
}

bool UpdateSession::writeData() {
  const uint32_t left = image_.imageLength - cursor_.writeOffset;
  cursor_.retryCount = 0;
  cursor_.chunkLength = static_cast<uint8_t>(left <= kChunkSize ? left : kChunkSize);

  uint8_t request[1 + kChunkSize];
  request[0] = CmdWriteData;
  std::memcpy(request + 1, image_.imageData + cursor_.writeOffset, cursor_.chunkLength);
  const uint8_t length = static_cast<uint8_t>(1 + cursor_.chunkLength);
  uint8_t response[kFrameBufferSize];
  // Only a missing answer resends the chunk; the answer itself is not examined.
  for (;;) {
    link_.send = cursor_.retryCount + 1u;
    const TransactionStatus status = exchange(request, length, 1, response);
    link_.send = 1;
    const uint8_t attempt = cursor_.retryCount++;
    if (status == kTransactionOk) break;
    if (stopRequested()) return false;
    if (attempt + 1u >= kMaxChunkSends) {
      result_.offset = cursor_.writeOffset;
      return fail(UpdateOutcome::kWrite, nullptr);
    }
  }

  cursor_.writeOffset += cursor_.chunkLength;
  listener_.written(cursor_.writeOffset, image_.imageLength);
  // 64-bit, so that images beyond 42,949,672 bytes still show the right value.
  const auto percent =
      static_cast<uint8_t>(uint64_t{cursor_.writeOffset} * 100 / image_.imageLength);
  if (percent != lastPercent_) {
    lastPercent_ = percent;
    if (percent == 100)
      say("Process: %%%d\n", percent);
    else
      say("Process: %%%d\r", percent);
    listener_.progress(percent);
  }
  if (cursor_.writeOffset >= image_.imageLength) cursor_.sessionState = StateVerify;
  return true;
}

bool UpdateSession::verify() {
  say("Verifying...\n");
  uint8_t request[9];
  const uint8_t length = buildVerifyPayload(image_.imageCrc, image_.checkWord, request);
  uint8_t response[kFrameBufferSize];
  if (exchange(request, length, 0, response) != kTransactionOk ||
      !isWellFormedResponse(response, CmdVerify) ||
      response[kVerifyResultOffset] != kCommandSucceeded) {
    listener_.verified(false);
    return fail(UpdateOutcome::kVerify, "Verify failed\n");
  }
  listener_.verified(true);
  cursor_.sessionState = StateFinish;
  return true;
}

void UpdateSession::finish() {
  say("Update completed\n");
  const uint8_t request[] = {CmdFinish};
  uint8_t response[kFrameBufferSize];
  exchange(request, sizeof request, 0, response);
}

void UpdateSession::enterBootloader() {
  if (!inBootloader_ && setup_.stop != nullptr) setup_.stop->deviceInBootloader(true);
  inBootloader_ = true;
}

bool UpdateSession::stopRequested() {
  if (setup_.stop == nullptr || !setup_.stop->requested()) return false;
  // A progress line waits for its carriage return to be overwritten.
  if (lastPercent_ != 0 && lastPercent_ != 100) sayText("\n");
  // With the bootloader's ids on the command line, the same command finishes.
  const char* text =
      !inBootloader_ ? "Interrupted: nothing was written; the device still runs its firmware\n"
      : setup_.bootIdsGiven
          ? "Interrupted: the device waits in its bootloader; run the same command again to "
            "finish the update\n"
          : "Interrupted: the device waits in its bootloader; run the same command with -bv and "
            "-bp (its bootloader ids) to finish the update\n";
  fail(UpdateOutcome::kInterrupted, text);
  return true;
}

std::string UpdateSession::silentReason(UpdateOutcome outcome) const {
  // The system's words, where it gave some, follow the failure they explain.
  std::string failed = "the device is gone or failed";
  if (!lastError_.empty()) failed += ": " + printableText(lastError_);
  const char* why = lastStatus_ == kTransactionTimeout ? "no answer within a second" : failed.c_str();
  char text[320];
  switch (outcome) {
    case UpdateOutcome::kGetInfo:
      std::snprintf(text, sizeof text, "Error: %s the information request (%s)",
                    cursor_.sessionState == StateQueryBootloader ? "the bootloader did not answer"
                                                                  : "no answer to",
                    why);
      break;
    case UpdateOutcome::kStartUpdate:
      std::snprintf(text, sizeof text, "Error: no answer to the start request (%s)", why);
      break;
    case UpdateOutcome::kWrite:
      std::snprintf(text, sizeof text,
                    "Error: no answer to the write request at offset 0x%04X after %u sends (%s)",
                    static_cast<unsigned>(cursor_.writeOffset), kMaxChunkSends, why);
      break;
    default:
      std::snprintf(text, sizeof text, "Error: %s", updateOutcomeName(outcome));
      break;
  }
  return text;
}

bool UpdateSession::fail(UpdateOutcome outcome, const char* text) {
  result_.outcome = outcome;
  result_.state = cursor_.sessionState;
  if (text != nullptr) {
    sayText(text);
    result_.message = text;
    return false;
  }
  // A failure the session names no message for: --verbose says why, on a
  // line of its own.
  result_.detail = silentReason(outcome);
  if (setup_.verbose) {
    if (lastPercent_ != 0 && lastPercent_ != 100) sayText("\n");
    result_.message = result_.detail + "\n";
    sayText(result_.message.c_str());
  }
  return false;
}

void UpdateSession::failureExit() {
  cursor_.sessionState = StateIdle;
  manager_.reset();
}

void UpdateSession::say(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  listener_.message(text);
}

}  // namespace

const char* sessionStateName(uint32_t state) {
  static constexpr const char* kNames[] = {"idle",         "start",
                                           "query-mode",   "wait-bootloader",
                                           "check-model",  "query-bootloader",
                                           "set-protocol", "start-update",
                                           "write-data",   "verify",
                                           "finish"};
  return state < sizeof kNames / sizeof kNames[0] ? kNames[state] : "unknown";
}

UpdateResult runUpdateSession(const UpdateSetup& setup, SessionCursor& cursor) {
  UpdateSession session(setup, cursor);
  return session.run(nullptr);
}

UpdateResult runUpdateSession(const UpdateSetup& setup, SessionCursor& cursor,
                              const SurveyedDevice& device) {
  UpdateSession session(setup, cursor);
  return session.run(&device);
}

UpdateResult runFileUpdate(const std::string& path, TextEncoding encoding, FirmwareImage& image,
                           FirmwareInfo& info, SessionCursor& cursor, UpdateSetup setup,
                           const ImageLoadedHook& afterLoad, const ImageCheck* check) {
  SessionListener quiet;
  SessionListener& listener = setup.listener != nullptr ? *setup.listener : quiet;
  UpdateResult result;
  cursor.sessionState = StateIdle;
  if (loadUpdateImage(path, encoding, image, info, listener, &result, setup.verbose, check)) {
    if (afterLoad) afterLoad(info);
    setup.image = &image;
    setup.info = &info;
    result = runUpdateSession(setup, cursor);
  }
  if (!result.updated()) {
    // The failure exit: the buffer the load made goes with it.
    image.releaseImage();
    cursor.sessionState = StateIdle;
  }
  return result;
}
