#include "app/station.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "app/command_line.h"
#include "app/console.h"
#include "app/exit_status.h"
#include "app/run_report.h"
#include "app/simulated_schedule.h"
#include "sim/simulated_bench.h"
#include "app/station_ledger.h"
#include "app/station_rule.h"
#include "app/station_unit.h"
#include "app/station_view.h"

namespace {

// With no unit running, the longest wait for a device to come or go before
// the station looks at its clock again (settling ports, a stop request).
constexpr uint32_t kIdleWaitMs = 250;
// With units running: how long the watch sleeps before it asks the platform
// whether a device came, unless a unit ends first. (It does not block in the
// platform's wait then: a simulated platform's wait would move its clock
// under the sessions' feet.) Short, since it bounds how late a board that
// arrives meanwhile is seen.
constexpr auto kBusyWait = std::chrono::milliseconds(20);
// Even when the platform tells of no change, the interfaces are listed again
// this often: a notification may be lost.
constexpr int64_t kRescanMs = 2000;

enum class PortPhase : uint8_t { kArmed, kWorking, kDone };

struct PortEntry {
  PortPhase phase = PortPhase::kArmed;
  PortMemory memory;
};

struct Unit {
  std::string port;
  bool askVersion = false;
  int64_t startMs = 0;
  std::thread thread;
  bool ended = false;  // under the station's lock
  UnitOutcome outcome;
};

class Station {
 public:
  Station(const UnitShared& shared, const CommandLine& line, const UpdateContext& context,
          StationLedger& ledger, std::string sha256)
      : shared_(shared),
        line_(line),
        context_(context),
        ledger_(ledger),
        sha256_(std::move(sha256)),
        platform_(*shared.platform),
        view_(*shared.view) {}
  int run();

 private:
  bool shiftOver();
  void scan(int64_t nowMs, bool told);
  void arrive(PortEntry& entry, const Sighting& sighting);
  void startUnit(const std::string& port, bool askVersion);
  void collectEnded();
  void endUnit(Unit& unit);
  bool portWanted(const std::string& port) const;

  const UnitShared& shared_;
  const CommandLine& line_;
  const UpdateContext& context_;
  StationLedger& ledger_;
  std::string sha256_;
  HidPlatform& platform_;
  StationView& view_;

  std::mutex mutex_;
  std::condition_variable unitEnded_;
  std::map<std::string, PortEntry> ports_;
  std::list<Unit> units_;
  std::set<std::string> unported_;  // paths already told they are not taken
  std::set<std::string> seen_;      // the paths of the last look, for the log
  uint32_t started_ = 0;            // units started (and not found to be none)
  uint32_t ended_ = 0;
  bool ledgerFailed_ = false;
  bool interrupted_ = false;
};

bool Station::portWanted(const std::string& port) const {
  return line_.ports.empty() ||
         std::find(line_.ports.begin(), line_.ports.end(), port) != line_.ports.end();
}

bool Station::shiftOver() {
  return shared_.stop->requested() || ledgerFailed_ || (line_.units != 0 && ended_ >= line_.units);
}

void Station::arrive(PortEntry& entry, const Sighting& sighting) {
  PortMemory& memory = entry.memory;
  if (entry.phase == PortPhase::kArmed) {
    startUnit(sighting.port, false);
    return;
  }
  // Done: the board of the last unit, still there, or something that came.
  if (sighting.path == memory.path) {
    memory.leftAtMs = -1;
    return;
  }
  switch (judgeArrival(memory, sighting.mode, sighting.serial, !shared_.info->version.empty())) {
    case ArrivalVerdict::kSameBoard:
      memory.path = sighting.path;
      memory.leftAtMs = -1;
      view_.portState(sighting.port, "done: remove the board");
      break;
    case ArrivalVerdict::kNewUnit:
      startUnit(sighting.port, false);
      break;
    case ArrivalVerdict::kAskVersion:
      startUnit(sighting.port, true);
      break;
  }
}

void Station::scan(int64_t nowMs, bool told) {
  const std::vector<Sighting> sightings = sightDevices(platform_, context_);
  std::set<std::string> seen;
  for (const Sighting& sighting : sightings) {
    seen.insert(sighting.path);
    if (seen_.count(sighting.path) == 0)
      shared_.report->log(sighting.port, "watch: %s came (%s, serial %s), %s",
                          sighting.path.c_str(),
                          sighting.mode == kModeBootloader ? "bootloader" : "application",
                          sighting.serial.c_str(), told ? "told" : "found by a periodic look");
  }
  for (const std::string& path : seen_)
    if (seen.count(path) == 0) shared_.report->log("", "watch: %s went", path.c_str());
  seen_ = std::move(seen);
  std::map<std::string, const Sighting*> byPort;
  for (const Sighting& sighting : sightings) {
    if (sighting.port.empty()) {
      if (unported_.insert(sighting.path).second)
        view_.note("Device " + sighting.path +
                   " is not taken: the system tells no port for it, and the station tells "
                   "boards apart by their port");
      continue;
    }
    if (portWanted(sighting.port)) byPort.emplace(sighting.port, &sighting);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [port, entry] : ports_) {
    if (entry.phase != PortPhase::kDone || byPort.count(port) != 0) continue;
    if (entry.memory.leftAtMs < 0) {
      entry.memory.leftAtMs = nowMs;
      view_.portState(port, "done: settling");
    }
  }
  for (const auto& [port, sighting] : byPort) {
    PortEntry& entry = ports_[port];
    if (entry.phase == PortPhase::kWorking) continue;
    // --jobs: the board waits for a unit to end (which brings a new look).
    if (line_.jobs != 0 && units_.size() >= line_.jobs) continue;
    if (shiftOver() || (line_.units != 0 && started_ >= line_.units)) {
      if (entry.phase == PortPhase::kArmed) view_.portState(port, "waiting");
      continue;
    }
    arrive(entry, *sighting);
  }
}

void Station::startUnit(const std::string& port, bool askVersion) {
  ports_[port].phase = PortPhase::kWorking;
  ++started_;
  Unit& unit = units_.emplace_back();
  unit.port = port;
  unit.askVersion = askVersion;
  unit.startMs = platform_.monotonicMilliseconds();
  unit.thread = std::thread([this, &unit] {
    UnitOutcome outcome = runUnit(shared_, unit.port, unit.askVersion);
    std::lock_guard<std::mutex> lock(mutex_);
    unit.outcome = std::move(outcome);
    unit.ended = true;
    unitEnded_.notify_all();
  });
}

void Station::endUnit(Unit& unit) {
  UnitOutcome& outcome = unit.outcome;
  PortEntry& entry = ports_[unit.port];
  entry.phase = PortPhase::kDone;
  entry.memory = outcome.memory;
  entry.memory.leftAtMs = -1;
  if (!outcome.isUnit) {
    --started_;
    view_.portState(unit.port, "done: remove the board");
    return;
  }
  ++ended_;
  const UpdateResult& result = outcome.result;
  if (result.outcome == UpdateOutcome::kInterrupted) interrupted_ = true;
  UnitRecord record;
  record.unixSeconds = static_cast<int64_t>(std::time(nullptr));
  record.station = line_.stationId;
  record.port = unit.port;
  record.serial = outcome.serial;
  record.model = outcome.model;
  record.versionBefore = outcome.versionBefore;
  record.file = context_.firmwarePath;
  record.sha256 = sha256_;
  record.updated = result.succeeded();
  record.reason = updateOutcomeName(result.outcome);
  record.attempts = outcome.attempts;
  record.seconds = double(platform_.monotonicMilliseconds() - unit.startMs) / 1000.0;
  std::string why = !result.message.empty() ? result.message : result.detail;
  while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) why.pop_back();
  view_.unitEnded(record, ended_, why);
  view_.portState(unit.port,
                  result.succeeded() ? "done: remove the board" : "failed: remove the board");
  shared_.report->log(unit.port, "unit %u ended: %s after %u attempt(s)", ended_,
                      record.reason.c_str(), record.attempts);
  if (ledger_.isOpen() && !ledgerFailed_ && !ledger_.append(record)) {
    // A unit without its record must not pass unnoticed.
    ledgerFailed_ = true;
    view_.note("Error: cannot write the ledger " + line_.ledgerPath +
               "; the station stops once the units in flight end");
  }
}

void Station::collectEnded() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (auto it = units_.begin(); it != units_.end();) {
    if (!it->ended) {
      ++it;
      continue;
    }
    lock.unlock();
    it->thread.join();
    lock.lock();
    endUnit(*it);
    it = units_.erase(it);
  }
}

int Station::run() {
  // Listening starts before the first look, so nothing that comes in between is missed.
  platform_.waitForChange(0);
  shared_.report->log("", "watch: told of interfaces that come and go by %s",
                      platform_.changeSource());
  for (const std::string& port : line_.ports) view_.portState(port, "waiting");
  int64_t lastScanMs = -kRescanMs;
  bool changed = true;
  for (;;) {
    collectEnded();
    int64_t nowMs = platform_.monotonicMilliseconds();
    bool running;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      running = !units_.empty();
      if (shiftOver() && !running) break;
      // A port that stayed empty long enough is ready for the next board.
      for (auto& [port, entry] : ports_) {
        if (entry.phase == PortPhase::kDone &&
            settled(entry.memory.leftAtMs, nowMs, line_.settleSeconds)) {
          entry = PortEntry();
          view_.portState(port, "waiting");
        }
      }
    }
    if (changed || nowMs - lastScanMs >= kRescanMs) {
      scan(nowMs, changed);
      lastScanMs = nowMs;
    }
    view_.refresh(nowMs);
    {
      std::unique_lock<std::mutex> lock(mutex_);
      running = !units_.empty();
      if (running) {
        // Woken by a unit's end; meanwhile the workers move a virtual clock.
        const bool ended = unitEnded_.wait_for(lock, kBusyWait, [this] {
          return std::any_of(units_.begin(), units_.end(), [](const Unit& u) { return u.ended; });
        });
        lock.unlock();
        changed = platform_.waitForChange(0) || ended;
        continue;
      }
    }
    changed = platform_.waitForChange(kIdleWaitMs);
  }
  view_.finish(platform_.monotonicMilliseconds());
  if (ledgerFailed_) return kExitFailure;
  if (interrupted_) return kExitBySignal + shared_.stop->reason();
  return view_.failed() == 0 ? kExitSuccess : kExitFailure;
}

}  // namespace

int runStation(UpdateContext& context, const CommandLine& line, HidPlatform& platform,
               RunReport& report, StopRequest& stop, TextEncoding encoding,
               SimulatedPlatform* simulation) {
  SessionReport runListener(report, SessionReportStyle{});
  StationLedger ledger;
  if (!line.ledgerPath.empty()) {
    const std::string problem =
        ledgerPathProblem(line.ledgerPath, context.firmwarePath, line.logPath, line.imageOutPath);
    if (!problem.empty()) {
      runListener.message(
          ("Error: the ledger cannot be " + line.ledgerPath + ": " + problem + "\n").c_str());
      return kExitUsage;
    }
  }
  FirmwareInfo info;
  UpdateResult failure;
  // Loaded and checked once, before anything is watched; every unit reads it.
  if (!loadUpdateImage(context.firmwarePath, encoding, context, info, runListener, &failure,
                       context.verbose, &context.imageCheck))
    return kExitFailure;
  // The load hashed the file as given; empty only when it could not read it
  // a second time.
  const std::string sha256 = info.sha256;
  if (sha256.empty()) {
    runListener.message(
        ("Error: cannot read " + context.firmwarePath + " again for its SHA-256\n").c_str());
    return kExitFailure;
  }
  if (!line.ledgerPath.empty() && !ledger.open(line.ledgerPath)) {
    runListener.message(
        ("Error: cannot open the ledger " + line.ledgerPath + " for appending\n").c_str());
    return kExitFailure;
  }
  if (simulation != nullptr) {
    if (!line.simulateSchedule.empty())
      applySimulatedSchedule(*simulation, context, info, line.simulateSchedule);
    else
      plugInSimulatedBench(*simulation, line.bench(), context, info.model);
  }
  const StationOutput output = report.json()        ? StationOutput::kJson
                               : consoleCanRedraw() ? StationOutput::kLive
                                                    : StationOutput::kLines;
  StationView view(report, output);
  if (output == StationOutput::kLines)
    view.note("Station: waiting for boards; Ctrl-C ends the shift");
  UnitShared shared;
  shared.context = &context;
  shared.info = &info;
  shared.platform = &platform;
  shared.report = &report;
  shared.view = &view;
  shared.stop = &stop;
  shared.bootIdsGiven = line.givenIds.bootIds();
  shared.retries = line.retries;
  Station station(shared, line, context, ledger, sha256);
  return station.run();
}
