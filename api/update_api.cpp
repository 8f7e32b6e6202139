// Updates through the C interface: one device, or every device at once, on
// the core the command line runs.
#include <chrono>

#include "api/handles.h"
#include "hid/hid_device.h"
#include "sim/simulated_bench.h"
#include "update/gang_sessions.h"
#include "update/stop_request.h"
#include "update/update_session.h"

namespace {

struct ResultRecord {
  tavrin_result result{};
  TextStore texts;
};

}  // namespace

struct tavrin_update {
  std::string path;
  DeviceFilter filter;
  bool verbose = false;
  tavrin_platform* platform = nullptr;
  bool simulate = false;
  uint32_t simulatedCount = 0;
  bool all = false;
  uint32_t jobs = 0;
  tavrin_progress_fn progress = nullptr;
  void* progressUser = nullptr;
  tavrin_message_fn messages = nullptr;
  void* messageUser = nullptr;
  StopRequest stop;
  bool ran = false;
  std::vector<std::unique_ptr<ResultRecord>> results;
};

namespace {

// Follows one device's session (or, with an empty port, what concerns the
// whole run) for the caller's callbacks.
class UnitListener : public SessionListener {
 public:
  UnitListener(const tavrin_update& update, std::string port, uint32_t length)
      : update_(update), port_(std::move(port)), length_(length) {}
  void setLength(uint32_t length) { length_ = length; }

  void message(const char* text) override {
    if (update_.messages != nullptr) update_.messages(update_.messageUser, port_.c_str(), text);
  }
  void deviceSelected(const HidDevice& device, const std::string&, const std::string&) override {
    port_ = device.port;
  }
  void stateChanged(uint32_t, uint32_t to) override {
    state_ = to;
    tell();
  }
  void written(uint32_t offset, uint32_t) override {
    offset_ = offset;
    tell();
  }
  void finished(const UpdateResult& result) override { last_ = result; }
  const UpdateResult& lastResult() const { return last_; }

 private:
  void tell() {
    if (update_.progress != nullptr)
      update_.progress(update_.progressUser, port_.c_str(), state_, offset_, length_);
  }

  const tavrin_update& update_;
  std::string port_;
  uint32_t length_;
  uint32_t state_ = StateIdle;
  uint32_t offset_ = 0;
  UpdateResult last_;
};

// A listener per device of a run over several.
class UnitListeners : public GangObserver {
 public:
  UnitListeners(const tavrin_update& update, uint32_t length) : update_(update), length_(length) {}
  SessionListener& unitListener(size_t index, const HidDevice& device) override {
    if (units_.size() <= index) units_.resize(index + 1);
    units_[index] = std::make_unique<UnitListener>(update_, device.port, length_);
    return *units_[index];
  }

 private:
  const tavrin_update& update_;
  uint32_t length_;
  std::vector<std::unique_ptr<UnitListener>> units_;
};

void keepResult(tavrin_update& update, const UpdateResult& from, const FirmwareInfo& info,
                double seconds) {
  auto record = std::make_unique<ResultRecord>();
  tavrin_result& out = record->result;
  TextStore& texts = record->texts;
  out.ok = from.updated() ? 1 : 0;
  out.reason = updateOutcomeName(from.outcome);
  out.state = from.state;
  out.message = texts.keep(reportedMessage(from.message));
  out.detail = texts.keep(from.detail);
  out.offset = from.offset;
  out.port = texts.keep(from.port);
  out.serial = texts.keep(from.serial);
  out.version_before = texts.keep(from.versionBefore);
  out.file_model = texts.keep(info.model);
  out.file_version = texts.keep(info.version);
  out.seconds = seconds;
  update.results.push_back(std::move(record));
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int runOne(tavrin_update& update, HidPlatform& platform, SimulatedPlatform* simulation) {
  UnitListener listener(update, "", 0);
  FirmwareImage image;
  FirmwareInfo info;
  SessionCursor cursor;
  UpdateSetup setup;
  setup.filter = update.filter;
  setup.platform = &platform;
  setup.listener = &listener;
  setup.stop = &update.stop;
  setup.verbose = update.verbose;
  const auto started = std::chrono::steady_clock::now();
  const UpdateResult result = runFileUpdate(
      update.path, TextEncoding::kUtf8, image, info, cursor, setup,
      [&](const FirmwareInfo& loaded) {
        listener.setLength(image.imageLength);
        if (simulation != nullptr)
          plugInSimulatedBench(*simulation, update.filter, loaded.model, update.simulatedCount);
      });
  keepResult(update, result, info, secondsSince(started));
  return result.updated() ? TAVRIN_OK : TAVRIN_FAILED;
}

int runAll(tavrin_update& update, HidPlatform& platform, SimulatedPlatform* simulation) {
  UnitListener runListener(update, "", 0);
  FirmwareImage image;
  FirmwareInfo info;
  const auto started = std::chrono::steady_clock::now();
  if (!loadUpdateImage(update.path, TextEncoding::kUtf8, image, info, runListener, nullptr)) {
    keepResult(update, runListener.lastResult(), info, secondsSince(started));
    return TAVRIN_FAILED;
  }
  if (simulation != nullptr)
    plugInSimulatedBench(*simulation, update.filter, info.model, update.simulatedCount);
  GangSetup setup;
  setup.session.image = &image;
  setup.session.info = &info;
  setup.session.filter = update.filter;
  setup.session.platform = &platform;
  setup.session.listener = &runListener;
  setup.session.stop = &update.stop;
  setup.session.verbose = update.verbose;
  setup.jobs = update.jobs;
  UnitListeners listeners(update, image.imageLength);
  const std::vector<GangUnit> units = runGangSessions(setup, listeners);
  if (units.empty()) {
    keepResult(update, runListener.lastResult(), info, secondsSince(started));
    return TAVRIN_FAILED;
  }
  // As --all counts: devices of another model are no failure, as long as
  // one device was the file's.
  bool anyTarget = false, allUpdated = true;
  for (const GangUnit& unit : units) {
    keepResult(update, unit.result, info, unit.seconds);
    anyTarget = anyTarget || unit.target;
    if (!unit.target && unit.result.outcome == UpdateOutcome::kWrongModel) continue;
    allUpdated = allUpdated && unit.result.updated();
  }
  return anyTarget && allUpdated ? TAVRIN_OK : TAVRIN_FAILED;
}

int setText(tavrin_update* update, std::string DeviceFilter::*field, const char* text) {
  if (update == nullptr) return TAVRIN_ERROR_ARGUMENT;
  return guarded<int>(TAVRIN_ERROR_SYSTEM, [&] {
    update->filter.*field = text != nullptr ? text : "";
    return TAVRIN_OK;
  });
}

}  // namespace

extern "C" {

const char* tavrin_state_name(uint32_t state) {
  // The names of the JSON output's "state-name".
  return sessionStateName(state);
}

tavrin_update* tavrin_update_new(const char* path, const tavrin_ids* ids) {
  if (path == nullptr || ids == nullptr) return nullptr;
  return guarded<tavrin_update*>(nullptr, [&] {
    auto update = std::make_unique<tavrin_update>();
    update->path = path;
    update->filter = filterOf(ids);
    return update.release();
  });
}

int tavrin_update_set_port(tavrin_update* update, const char* port) {
  return setText(update, &DeviceFilter::selectPort, port);
}

int tavrin_update_set_serial(tavrin_update* update, const char* serial) {
  return setText(update, &DeviceFilter::selectSerial, serial);
}

int tavrin_update_set_verbose(tavrin_update* update, int verbose) {
  if (update == nullptr) return TAVRIN_ERROR_ARGUMENT;
  update->verbose = verbose != 0;
  return TAVRIN_OK;
}

int tavrin_update_set_platform(tavrin_update* update, tavrin_platform* platform) {
  if (update == nullptr) return TAVRIN_ERROR_ARGUMENT;
  update->platform = platform;
  return TAVRIN_OK;
}

int tavrin_update_set_simulated(tavrin_update* update, uint32_t count) {
  if (update == nullptr || count == 0) return TAVRIN_ERROR_ARGUMENT;
  update->simulate = true;
  update->simulatedCount = count;
  return TAVRIN_OK;
}

int tavrin_update_set_all(tavrin_update* update, uint32_t jobs) {
  if (update == nullptr) return TAVRIN_ERROR_ARGUMENT;
  update->all = true;
  update->jobs = jobs;
  return TAVRIN_OK;
}

int tavrin_update_set_progress(tavrin_update* update, tavrin_progress_fn callback, void* user) {
  if (update == nullptr) return TAVRIN_ERROR_ARGUMENT;
  update->progress = callback;
  update->progressUser = user;
  return TAVRIN_OK;
}

int tavrin_update_set_messages(tavrin_update* update, tavrin_message_fn callback, void* user) {
  if (update == nullptr) return TAVRIN_ERROR_ARGUMENT;
  update->messages = callback;
  update->messageUser = user;
  return TAVRIN_OK;
}

int tavrin_update_run(tavrin_update* update) {
  if (update == nullptr) return TAVRIN_ERROR_ARGUMENT;
  if (update->ran) return TAVRIN_ERROR_STATE;
  update->ran = true;
  return guarded<int>(TAVRIN_ERROR_SYSTEM, [&]() -> int {
    std::unique_ptr<HidPlatform> native;
    std::unique_ptr<SimulatedPlatform> simulation;
    HidPlatform* platform = nullptr;
    if (update->simulate) {
      simulation = std::make_unique<SimulatedPlatform>();
      platform = simulation.get();
    } else {
      platform = platformFor(update->platform, &native);
    }
    if (platform == nullptr) return TAVRIN_ERROR_SYSTEM;
    return update->all ? runAll(*update, *platform, simulation.get())
                       : runOne(*update, *platform, simulation.get());
  });
}

void tavrin_update_cancel(tavrin_update* update) {
  // The first request is kept; any non-zero reason will do.
  if (update != nullptr) update->stop.request(1);
}

size_t tavrin_update_result_count(const tavrin_update* update) {
  return update != nullptr ? update->results.size() : 0;
}

const tavrin_result* tavrin_update_result(const tavrin_update* update, size_t index) {
  return update != nullptr && index < update->results.size() ? &update->results[index]->result
                                                             : nullptr;
}

void tavrin_update_free(tavrin_update* update) { delete update; }

}  // extern "C"
