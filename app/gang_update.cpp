#include "app/gang_update.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "app/command_line.h"
#include "app/exit_status.h"
#include "app/inspect.h"
#include "app/message.h"
#include "app/run_report.h"
#include "app/simulation.h"
#include "hid/hid_manager.h"
#include "update/device_survey.h"

namespace {

// One device that passed the filter, and how its part of the run went.
struct Row {
  std::string port;
  std::string serial;
  std::string versionBefore;
  std::unique_ptr<SessionReport> report;
  SurveyedDevice surveyed;
  bool target = false;  // of the file's model: it gets a session
  UpdateResult result;
  double seconds = 0;
};

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

// The end of a row that gets no session; told like a session's end.
void endWithoutSession(Row& row, UpdateOutcome outcome, const std::string& detail) {
  row.result.outcome = outcome;
  row.result.detail = detail;
  row.result.port = row.port;
  row.result.serial = row.serial;
  row.result.versionBefore = row.versionBefore;
  row.report->finished(row.result);
}

std::string resultText(const Row& row) {
  const UpdateResult& result = row.result;
  if (result.updated()) return "updated";
  if (result.outcome == UpdateOutcome::kUpToDate) return "up to date";
  std::string message = result.message;
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  if (!message.empty()) return message;
  if (!result.detail.empty()) return result.detail;
  char text[64];
  std::snprintf(text, sizeof text, "%s in state %u", updateOutcomeName(result.outcome),
                result.state);
  return text;
}

std::string cell(const std::string& text, size_t width) {
  const std::string shown = text.empty() ? "-" : escapeInspectText(text);
  return shown.size() >= width ? shown + " " : shown + std::string(width - shown.size(), ' ');
}

bool printTable(const std::vector<Row>& rows) {
  size_t portWidth = 6, serialWidth = 8, versionWidth = 8;
  for (const Row& row : rows) {
    portWidth = std::max(portWidth, escapeInspectText(row.port).size() + 2);
    serialWidth = std::max(serialWidth, escapeInspectText(row.serial).size() + 2);
    versionWidth = std::max(versionWidth, escapeInspectText(row.versionBefore).size() + 2);
  }
  std::string table = cell("PORT", portWidth) + cell("SERIAL", serialWidth) +
                      cell("BEFORE", versionWidth) + "SECONDS  RESULT\n";
  for (const Row& row : rows) {
    char seconds[16];
    std::snprintf(seconds, sizeof seconds, "%-7.1f  ", row.seconds);
    table += cell(row.port, portWidth) + cell(row.serial, serialWidth) +
             cell(row.versionBefore, versionWidth) + seconds + escapeInspectText(resultText(row)) +
             "\n";
  }
  return outputText(table.c_str());
}

}  // namespace

int runGangUpdate(UpdateContext& context, const CommandLine& line, HidPlatform& platform,
                  RunReport& report, const StopRequest& stop, TextEncoding encoding,
                  SimulatedPlatform* simulation) {
  // What concerns the whole run goes out without a port.
  SessionReport runListener(report, SessionReportStyle{});
  FirmwareInfo info;
  UpdateResult failure;
  // Loaded and checked once; every session reads the same image.
  if (!loadUpdateImage(context.firmwarePath, encoding, context, info, runListener, &failure,
                       &context.imageCheck))
    return kExitFailure;
  if (simulation != nullptr)
    plugInSimulatedBench(*simulation, context, info.model, line.simulatedDevices,
                         line.simulateStatePath);

  std::vector<Row> rows;
  {
    CHidManager survey(platform, context);
    if (!listSurveyedDevices(survey, runListener)) {
      failure.outcome = UpdateOutcome::kNoDevice;
      failure.message = "No specified VID/PID HID device detected!";
      runListener.finished(failure);
      return kExitFailure;
    }
    // One version request per device, as a single update of it sends before
    // its state machine; the session of a target goes on from there.
    rows.resize(survey.deviceCount());
    size_t index = 0;
    for (HidDevice* device = survey.firstDevice(); device != nullptr;
         device = survey.nextDevice(), ++index) {
      Row& row = rows[index];
      row.port = device->port;
      row.serial = device->serial;
      SessionReportStyle style;
      style.logPort = device->port;
      style.gang = true;
      row.report = std::make_unique<SessionReport>(report, style);
      TransactionLink link;
      link.listener = report.logging() ? row.report.get() : nullptr;
      const DeviceAnswer answer = askDeviceVersion(link, *device, context.protocolMask, *row.report);
      row.versionBefore = answer.version;
      if (answer.status != kTransactionOk) {
        const std::string why = answer.status == kTransactionTimeout
                                    ? "Error: no answer to the version request (no answer within a second)"
                                    : "Error: no answer to the version request (the device is gone or failed)";
        if (context.verbose) row.report->message((why + "\n").c_str());
        endWithoutSession(row, UpdateOutcome::kNoAnswer, why);
        continue;
      }
      if (answer.model != info.model) {
        endWithoutSession(row, UpdateOutcome::kWrongModel,
                          "another model (" + answer.model + "), not updated");
        continue;
      }
      row.target = true;
      row.surveyed = {device, link.frameSequence, answer.model, answer.version};
    }
    size_t targets = 0;
    for (const Row& row : rows) targets += row.target ? 1 : 0;
    for (Row& row : rows) {
      if (!row.target) continue;
      // Each session waits for the bootloader on its device's port; without
      // one, several bootloaders could not be told apart.
      if (row.port.empty() && targets > 1) {
        row.target = false;
        endWithoutSession(row, UpdateOutcome::kNoDevice, "no port to bind its update to");
        continue;
      }
      survey.releaseDevice(row.surveyed.device);
    }
  }
  const bool anyTarget = std::any_of(rows.begin(), rows.end(), [](const Row& r) { return r.target; });
  if (!anyTarget) {
    bool modelMissing = std::none_of(rows.begin(), rows.end(), [](const Row& r) {
      return r.result.outcome == UpdateOutcome::kNoDevice;
    });
    if (modelMissing) {
      failure.outcome = UpdateOutcome::kWrongModel;
      failure.message = "Device not connected\n";
      runListener.message(failure.message.c_str());
      runListener.finished(failure);
    }
    if (!report.json() && !printTable(rows)) {
      messageText("Error: cannot write the table to standard output\n");
    }
    return kExitFailure;
  }

  Slots slots(line.jobs == 0 ? rows.size() : line.jobs);
  std::vector<std::thread> threads;
  for (Row& row : rows) {
    if (!row.target) continue;
    threads.emplace_back([&row, &slots, &context, &info, &platform, &report, &stop] {
      slots.take();
      const auto started = std::chrono::steady_clock::now();
      UpdateSetup setup;
      setup.image = &context;
      setup.info = &info;
      setup.filter = context;
      setup.filter.selectPort = row.port;
      setup.platform = &platform;
      setup.listener = row.report.get();
      setup.exchanges = report.logging() ? row.report.get() : nullptr;
      setup.stop = &stop;
      setup.verbose = context.verbose;
      setup.policy = context.policy;
      SessionCursor cursor;
      row.result = runUpdateSession(setup, cursor, row.surveyed);
      row.seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      slots.give();
    });
  }
  for (std::thread& thread : threads) thread.join();

  bool allUpdated = true, stopped = false;
  for (const Row& row : rows) {
    if (!row.target && row.result.outcome == UpdateOutcome::kWrongModel) continue;
    allUpdated = allUpdated && row.result.succeeded();
    stopped = stopped || row.result.outcome == UpdateOutcome::kInterrupted;
    if (row.result.updated() && simulation != nullptr && !line.simulateStatePath.empty() &&
        !recordSimulatedVersion(line.simulateStatePath, row.port, info.version)) {
      message("Error: cannot write %s\n", line.simulateStatePath.c_str());
      allUpdated = false;
    }
  }
  if (!report.json() && !printTable(rows)) {
    messageText("Error: cannot write the table to standard output\n");
    allUpdated = false;
  }
  if (stopped) return kExitBySignal + stop.reason();
  return allUpdated ? kExitSuccess : kExitFailure;
}
