#include "app/gang_update.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "app/command_line.h"
#include "app/exit_status.h"
#include "app/message.h"
#include "app/run_report.h"
#include "common/printable_text.h"
#include "sim/simulated_bench.h"
#include "update/gang_sessions.h"

namespace {

// The report of each device of the run: its console lines carry its port.
class GangReports : public GangObserver {
 public:
  explicit GangReports(RunReport& report) : report_(report) {}
  SessionListener& unitListener(size_t index, const HidDevice& device) override {
    SessionReportStyle style;
    style.logPort = device.port;
    style.gang = true;
    if (reports_.size() <= index) reports_.resize(index + 1);
    reports_[index] = std::make_unique<SessionReport>(report_, style);
    return *reports_[index];
  }
  ExchangeListener* unitExchanges(size_t index) override {
    return report_.logging() ? reports_[index].get() : nullptr;
  }

 private:
  RunReport& report_;
  std::vector<std::unique_ptr<SessionReport>> reports_;
};

std::string resultText(const GangUnit& row) {
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
  const std::string shown = text.empty() ? "-" : printableText(text);
  return shown.size() >= width ? shown + " " : shown + std::string(width - shown.size(), ' ');
}

bool printTable(const std::vector<GangUnit>& rows) {
  size_t portWidth = 6, serialWidth = 8, versionWidth = 8;
  for (const GangUnit& row : rows) {
    portWidth = std::max(portWidth, printableText(row.port).size() + 2);
    serialWidth = std::max(serialWidth, printableText(row.serial).size() + 2);
    versionWidth = std::max(versionWidth, printableText(row.versionBefore).size() + 2);
  }
  std::string table = cell("PORT", portWidth) + cell("SERIAL", serialWidth) +
                      cell("BEFORE", versionWidth) + "SECONDS  RESULT\n";
  for (const GangUnit& row : rows) {
    char seconds[16];
    std::snprintf(seconds, sizeof seconds, "%-7.1f  ", row.seconds);
    table += cell(row.port, portWidth) + cell(row.serial, serialWidth) +
             cell(row.versionBefore, versionWidth) + seconds + printableText(resultText(row)) +
             "\n";
  }
  return outputText(table.c_str());
}

}  // namespace

int runGangUpdate(UpdateContext& context, const CommandLine& line, HidPlatform& platform,
                  RunReport& report, StopRequest& stop, TextEncoding encoding,
                  SimulatedPlatform* simulation) {
  // What concerns the whole run goes out without a port.
  SessionReport runListener(report, SessionReportStyle{});
  FirmwareInfo info;
  UpdateResult failure;
  // Loaded and checked once; every session reads the same image.
  if (!loadUpdateImage(context.firmwarePath, encoding, context, info, runListener, &failure,
                       context.verbose, &context.imageCheck))
    return kExitFailure;
  if (simulation != nullptr) plugInSimulatedBench(*simulation, line.bench(), context, info.model);

  GangSetup setup;
  setup.session.image = &context;
  setup.session.info = &info;
  setup.session.filter = context;
  setup.session.platform = &platform;
  setup.session.listener = &runListener;
  setup.session.stop = &stop;
  setup.session.verbose = context.verbose;
  setup.session.bootIdsGiven = line.givenIds.bootIds();
  setup.session.policy = context.policy;
  setup.jobs = line.jobs;
  setup.expectedTargets = line.expectedDevices;
  GangReports reports(report);
  const std::vector<GangUnit> rows = runGangSessions(setup, reports);
  if (rows.empty()) return kExitFailure;
  const bool anyTarget =
      std::any_of(rows.begin(), rows.end(), [](const GangUnit& r) { return r.target; });
  if (!anyTarget) {
    if (!report.json() && !printTable(rows))
      sayOutputLost("Error: cannot write the table to standard output\n");
    return kExitFailure;
  }

  bool allUpdated = true, stopped = false;
  for (const GangUnit& row : rows) {
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
    sayOutputLost("Error: cannot write the table to standard output\n");
    allUpdated = false;
  }
  if (stopped) return kExitBySignal + stop.reason();
  return allUpdated ? kExitSuccess : kExitFailure;
}
