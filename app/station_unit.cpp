#include "app/station_unit.h"

#include <cstdio>

#include "app/run_report.h"
#include "app/station_view.h"
#include "hid/hid_manager.h"
#include "update/device_survey.h"
#include "update/update_session.h"

namespace {

// A node that has just appeared may not open yet: udev gives it its mode a
// moment after the kernel made it.
constexpr uint32_t kListingTries = 5;
constexpr uint32_t kListingPauseMs = 200;

const char* stateText(uint32_t state) {
  switch (state) {
    case StateQueryMode:
      return "asking";
    case StateWaitBootloader:
      return "waiting for bootloader";
    case StateCheckModel:
    case StateQueryBootloader:
    case StateSetProtocol:
      return "in bootloader";
    case StateStartUpdate:
      return "starting update";
    case StateWriteData:
      return "writing";
    case StateVerify:
      return "verifying";
    case StateFinish:
      return "finishing";
    default:
      return "starting";
  }
}

// Follows a unit's sessions: everything goes on to the port's SessionReport;
// the station keeps what the board says of itself and where the session stands.
class UnitListener : public SessionListener {
 public:
  UnitListener(SessionReport& report, const UnitShared& shared, std::string port,
               PortMemory& memory)
      : report_(report), shared_(shared), port_(std::move(port)), memory_(memory) {}

  void message(const char* text) override {
    if (shared_.view->output() != StationOutput::kLive) report_.message(text);
  }
  void deviceListed(const HidDevice& device) override { report_.deviceListed(device); }
  void versionAnswered(const HidDevice& device, TransactionStatus status, const std::string& model,
                       const std::string& version) override {
    note(device);
    report_.versionAnswered(device, status, model, version);
  }
  void deviceSelected(const HidDevice& device, const std::string& model,
                      const std::string& version) override {
    note(device);
    report_.deviceSelected(device, model, version);
  }
  void stateChanged(uint32_t from, uint32_t to) override {
    report_.stateChanged(from, to);
    if (to != StateWriteData) shared_.view->portState(port_, stateText(to));
  }
  void switching() override { report_.switching(); }
  void bootloaderConnected(const HidDevice& device) override {
    note(device);
    report_.bootloaderConnected(device);
  }
  void protocolVersion(uint16_t version, uint8_t capabilities) override {
    report_.protocolVersion(version, capabilities);
  }
  void progress(uint32_t percent) override {
    report_.progress(percent);
    shared_.view->portState(port_, "writing", static_cast<int>(percent));
  }
  void verified(bool ok) override { report_.verified(ok); }
  void finished(const UpdateResult& result) override {
    // One result per unit goes out, when the unit ends; an attempt's is logged.
    report_.flushConsole();
    shared_.report->log(port_, "attempt outcome: %s, state %u", updateOutcomeName(result.outcome),
                        result.state);
  }

 private:
  void note(const HidDevice& device) {
    memory_.path = device.path;
    if (device.serial.empty()) return;
    (device.mode == kModeBootloader ? memory_.bootloaderSerial : memory_.applicationSerial) =
        device.serial;
  }

  SessionReport& report_;
  const UnitShared& shared_;
  std::string port_;
  PortMemory& memory_;
};

bool boardOnPort(HidPlatform& platform, const DeviceIds& ids, const std::string& port) {
  for (const Sighting& sighting : sightDevices(platform, ids))
    if (sighting.port == port) return true;
  return false;
}

}  // namespace

std::vector<Sighting> sightDevices(HidPlatform& platform, const DeviceIds& ids) {
  std::vector<Sighting> found;
  std::vector<std::string> paths;
  if (!platform.enumerateInterfaces(&paths)) return found;
  for (const std::string& path : paths) {
    HidInterfaceInfo info;
    if (!platform.describe(path, &info)) continue;
    const DeviceMode mode =
        matchDeviceMode(ids, info.vendorId, info.productId, info.usagePage, info.usage);
    if (mode != kModeNone) found.push_back({path, info.port, info.serial, mode});
  }
  return found;
}

UnitOutcome runUnit(const UnitShared& shared, const std::string& port, bool askVersion) {
  const UpdateContext& context = *shared.context;
  HidPlatform& platform = *shared.platform;
  UnitOutcome outcome;
  SessionReportStyle style;
  style.logPort = port;
  style.gang = true;
  SessionReport report(*shared.report, style);
  UnitListener listener(report, shared, port, outcome.memory);
  SessionListener quiet;
  DeviceFilter filter = context;
  filter.selectPort = port;
  filter.selectSerial.clear();

  for (;;) {
    ++outcome.attempts;
    shared.view->portState(port, outcome.attempts == 1 ? "starting" : "retrying");
    UpdateResult& result = outcome.result;
    result = UpdateResult();
    SurveyedDevice surveyed;
    {
      CHidManager survey(platform, filter);
      bool listed = false;
      for (uint32_t tries = 1; !listed; ++tries) {
        const bool last = tries >= kListingTries || shared.stop->requested();
        if (last && outcome.attempts == 1 && !boardOnPort(platform, context, port)) {
          // Gone before it could be asked anything: it was never a unit.
          outcome.isUnit = false;
          return outcome;
        }
        listed =
            listSurveyedDevices(survey, last ? static_cast<SessionListener&>(listener) : quiet);
        if (last) break;
        if (!listed) platform.sleepMilliseconds(kListingPauseMs);
      }
      if (!listed) {
        result.outcome = UpdateOutcome::kNoDevice;
        result.message = "No specified VID/PID HID device detected!";
        result.port = port;
      } else if (survey.deviceCount() == 1) {
        HidDevice* device = survey.firstDevice();
        TransactionLink link;
        link.listener = shared.report->logging() ? &report : nullptr;
        const DeviceAnswer answer = askDeviceVersion(link, *device, context.protocolMask, listener);
        if (outcome.attempts == 1) {
          outcome.serial = device->serial;
          outcome.versionBefore = answer.version;
          outcome.model = answer.model;
        }
        if (askVersion && outcome.attempts == 1 && answer.status == kTransactionOk &&
            answer.version == shared.info->version) {
          outcome.isUnit = false;  // the last unit's board, back in its new firmware
          return outcome;
        }
        if (answer.status == kTransactionOk && answer.model == shared.info->model) {
          surveyed = {survey.releaseDevice(device), link.frameSequence, answer.model,
                      answer.version};
        } else {
          // As a single update ends when no device reports the file's model.
          result.outcome = UpdateOutcome::kWrongModel;
          result.message = "Device not connected\n";
          result.port = port;
          result.serial = device->serial;
          result.versionBefore = answer.version;
          listener.message(result.message.c_str());
        }
      }
    }
    UpdateSetup setup;
    setup.image = &context;
    setup.info = shared.info;
    setup.filter = filter;
    setup.platform = &platform;
    setup.listener = &listener;
    setup.exchanges = shared.report->logging() ? &report : nullptr;
    setup.stop = shared.stop;
    setup.bootIdsGiven = shared.bootIdsGiven;
    setup.policy = context.policy;
    setup.verbose = context.verbose;
    SessionCursor cursor;
    if (surveyed.device != nullptr) {
      result = runUpdateSession(setup, cursor, surveyed);
    } else if (result.outcome == UpdateOutcome::kUpdated) {
      // Several interfaces on the port: the single update's own choice and messages.
      result = runUpdateSession(setup, cursor);
    }
    if (outcome.serial.empty()) outcome.serial = result.serial;
    if (outcome.versionBefore.empty()) outcome.versionBefore = result.versionBefore;
    if (result.succeeded() || result.outcome == UpdateOutcome::kInterrupted ||
        shared.stop->requested() || outcome.attempts > shared.retries ||
        !boardOnPort(platform, context, port))
      break;
    char retrying[64];
    std::snprintf(retrying, sizeof retrying, "Retrying: attempt %u of %u\n", outcome.attempts + 1,
                  shared.retries + 1);
    listener.message(retrying);
  }
  if (outcome.model.empty() && outcome.result.updated()) outcome.model = shared.info->model;
  return outcome;
}
