#include "update/gang_sessions.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "common/printable_text.h"
#include "hid/hid_manager.h"
#include "update/device_survey.h"

namespace {

// Lets at most `limit` sessions run at a time.
class Slots {
 public:
  explicit Slots(size_t limit) : free_(limit) {}
  void take() {
    std::unique_lock<std::mutex> lock(mutex_);
    freed_.wait(lock, [this] { return free_ > 0; });
    --free_;
  }
  void give() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++free_;
    }
    freed_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable freed_;
  size_t free_;
};

// A unit as the survey leaves it: the device a target's session takes over.
struct Surveyed {
  GangUnit* unit = nullptr;
  SessionListener* listener = nullptr;
  ExchangeListener* exchanges = nullptr;
  SurveyedDevice device;
};

// The end of a unit that gets no session; told like a session's end.
void endWithoutSession(GangUnit& unit, SessionListener& listener, UpdateOutcome outcome,
                       const std::string& detail) {
  unit.result.outcome = outcome;
  unit.result.detail = detail;
  unit.result.port = unit.port;
  unit.result.serial = unit.serial;
  unit.result.versionBefore = unit.versionBefore;
  listener.finished(unit.result);
}

}  // namespace

std::vector<GangUnit> runGangSessions(const GangSetup& setup, GangObserver& observer) {
  SessionListener quiet;
  SessionListener& runListener = setup.session.listener != nullptr ? *setup.session.listener : quiet;
  std::vector<GangUnit> units;
  std::vector<Surveyed> targets;
  {
    CHidManager survey(*setup.session.platform, setup.session.filter);
    if (!listSurveyedDevices(survey, runListener)) {
      UpdateResult failure;
      failure.outcome = UpdateOutcome::kNoDevice;
      failure.message = "No specified VID/PID HID device detected!";
      failure.fileModel = setup.session.info->model;
      failure.fileVersion = setup.session.info->version;
      runListener.finished(failure);
      return units;
    }
    units.resize(survey.deviceCount());
    size_t index = 0;
    for (HidDevice* device = survey.firstDevice(); device != nullptr;
         device = survey.nextDevice(), ++index) {
      GangUnit& unit = units[index];
      unit.port = device->port;
      unit.serial = device->serial;
      unit.result.fileModel = setup.session.info->model;
      unit.result.fileVersion = setup.session.info->version;
      SessionListener& listener = observer.unitListener(index, *device);
      TransactionLink link;
      link.listener = observer.unitExchanges(index);
      const DeviceAnswer answer =
          askDeviceVersion(link, *device, setup.session.image->protocolMask, listener);
      unit.versionBefore = answer.version;
      if (answer.status != kTransactionOk) {
        const std::string why = unansweredVersionReason(*device, answer.status, false);
        if (setup.session.verbose) listener.message((why + "\n").c_str());
        endWithoutSession(unit, listener, UpdateOutcome::kNoAnswer, why);
        continue;
      }
      if (answer.model != setup.session.info->model) {
        endWithoutSession(unit, listener, UpdateOutcome::kWrongModel,
                          "another model (" + answer.model + "), not updated");
        continue;
      }
      unit.target = true;
      targets.push_back({&unit, &listener, link.listener,
                         {device, link.frameSequence, answer.model, answer.version}});
    }
    const size_t targetCount = targets.size();
    // A station that expects its fixtures full stops before any switch.
    if (setup.expectedTargets != 0 && targetCount != setup.expectedTargets) {
      char text[160];
      std::snprintf(text, sizeof text, "Error: found %zu device%s of model %s, expected %zu\n",
                    targetCount, targetCount == 1 ? "" : "s", printableText(setup.session.info->model).c_str(),
                    setup.expectedTargets);
      UpdateResult failure;
      failure.outcome = UpdateOutcome::kDeviceCount;
      failure.message = text;
      failure.fileModel = setup.session.info->model;
      failure.fileVersion = setup.session.info->version;
      runListener.message(text);
      runListener.finished(failure);
      return {};
    }
    for (Surveyed& target : targets) {
      // Each session waits for the bootloader on its device's port; without
      // one, several bootloaders could not be told apart.
      if (target.unit->port.empty() && targetCount > 1) {
        target.unit->target = false;
        endWithoutSession(*target.unit, *target.listener, UpdateOutcome::kNoDevice,
                          "no port to bind its update to");
        continue;
      }
      survey.releaseDevice(target.device.device);
    }
  }
  targets.erase(std::remove_if(targets.begin(), targets.end(),
                               [](const Surveyed& t) { return !t.unit->target; }),
                targets.end());
  if (targets.empty()) {
    const bool modelMissing = std::none_of(units.begin(), units.end(), [](const GangUnit& u) {
      return u.result.outcome == UpdateOutcome::kNoDevice;
    });
    if (modelMissing) {
      UpdateResult failure;
      failure.outcome = UpdateOutcome::kWrongModel;
      failure.message = "Device not connected\n";
      failure.fileModel = setup.session.info->model;
      failure.fileVersion = setup.session.info->version;
      runListener.message(failure.message.c_str());
      runListener.finished(failure);
    }
    return units;
  }

  {
    Slots slots(setup.jobs == 0 ? targets.size() : setup.jobs);
    std::vector<std::thread> threads;
    // Joins the threads started so far, also when starting one more fails.
    struct Joiner {
      std::vector<std::thread>& threads;
      ~Joiner() {
        for (std::thread& thread : threads) thread.join();
      }
    } joiner{threads};
    for (Surveyed& target : targets) {
      threads.emplace_back([&target, &slots, &setup] {
        slots.take();
        const auto started = std::chrono::steady_clock::now();
        GangUnit& unit = *target.unit;
        UpdateSetup session = setup.session;
        session.filter.selectPort = unit.port;
        session.listener = target.listener;
        session.exchanges = target.exchanges;
        SessionCursor cursor;
        unit.result = runUpdateSession(session, cursor, target.device);
        unit.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        slots.give();
      });
    }
  }
  return units;
}
