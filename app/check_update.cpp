#include "app/check_update.h"

#include <algorithm>
#include <vector>

#include "app/command_line.h"
#include "app/exit_status.h"
#include "app/inspect.h"
#include "common/printable_text.h"
#include "app/message.h"
#include "app/run_report.h"
#include "hid/hid_manager.h"
#include "sim/simulated_bench.h"
#include "update/device_survey.h"
#include "update/version_policy.h"

namespace {

// One device that passed the filter and what an update would do to it.
struct CheckRow {
  std::string path;
  std::string port;
  std::string serial;
  DeviceVersion device;
  bool answered = false;
  PolicyVerdict verdict = PolicyVerdict::kUpdate;
};

const char* actionName(const CheckRow& row) {
  return row.answered ? policyVerdictName(row.verdict) : "no-answer";
}

std::string actionText(const CheckRow& row, const std::string& fileVersion) {
  if (!row.answered) return "no answer";
  switch (row.verdict) {
    case PolicyVerdict::kUpdate:
      return row.device.inBootloader ? "update (waits in its bootloader)"
                                     : "update to " + fileVersion;
    case PolicyVerdict::kUpToDate:
      return "up to date";
    case PolicyVerdict::kDowngrade:
      return "downgrade to " + fileVersion;
    case PolicyVerdict::kIncomparable:
      return fileVersion.empty() ? "incomparable (the file carries no version)"
                                 : "incomparable with " + fileVersion;
    case PolicyVerdict::kWrongModel:
      return "wrong model (" + row.device.model + ")";
  }
  return "";
}

std::string column(const std::string& text, size_t width) {
  const std::string shown = text.empty() ? "-" : printableText(text);
  return shown.size() >= width ? shown + " " : shown + std::string(width - shown.size(), ' ');
}

bool printTable(const std::vector<CheckRow>& rows, const std::string& fileVersion) {
  size_t portWidth = 6, serialWidth = 8, versionWidth = 9;
  for (const CheckRow& row : rows) {
    portWidth = std::max(portWidth, printableText(row.port).size() + 2);
    serialWidth = std::max(serialWidth, printableText(row.serial).size() + 2);
    versionWidth = std::max(versionWidth, printableText(row.device.version).size() + 2);
  }
  std::string table = column("PORT", portWidth) + column("SERIAL", serialWidth) +
                      column("VERSION", versionWidth) + "ACTION\n";
  for (const CheckRow& row : rows)
    table += column(row.port, portWidth) + column(row.serial, serialWidth) +
             column(row.device.version, versionWidth) +
             printableText(actionText(row, fileVersion)) + "\n";
  return outputText(table.c_str());
}

}  // namespace

int runUpdateCheck(UpdateContext& context, const CommandLine& line, HidPlatform& platform,
                   RunReport& report, TextEncoding encoding, SimulatedPlatform* simulation) {
  SessionReport runListener(report, SessionReportStyle{});
  FirmwareInfo info;
  UpdateResult failure;
  if (!loadUpdateImage(context.firmwarePath, encoding, context, info, runListener, &failure,
                       context.verbose, &context.imageCheck))
    return kExitFailure;
  if (simulation != nullptr)
    plugInSimulatedBench(*simulation, line.bench(), context, info.model);

  CHidManager survey(platform, context);
  if (!listSurveyedDevices(survey, runListener)) {
    failure.outcome = UpdateOutcome::kNoDevice;
    failure.message = "No specified VID/PID HID device detected!";
    failure.sha256 = info.sha256;
    runListener.finished(failure);
    return kExitFailure;
  }
  std::vector<CheckRow> rows;
  for (HidDevice* device = survey.firstDevice(); device != nullptr; device = survey.nextDevice()) {
    CheckRow row;
    row.path = device->path;
    row.port = device->port;
    row.serial = device->serial;
    SessionReportStyle style;
    style.logPort = device->port;
    SessionReport listener(report, style);
    // The identification alone, as an update sends it before its state machine.
    TransactionLink link;
    link.listener = report.logging() ? &listener : nullptr;
    const DeviceAnswer answer = askDeviceVersion(link, *device, context.protocolMask, listener);
    row.answered = answer.status == kTransactionOk;
    row.device = {answer.model, answer.version, device->mode == kModeBootloader};
    if (row.answered) row.verdict = decideVersionPolicy(row.device, info.model, info.version);
    report.log(row.port, "check: %s (device %s, file %s)", actionName(row), answer.version.c_str(),
               info.version.c_str());
    report.emit(JsonLine()
                    .add("event", "check")
                    .add("path", row.path)
                    .add("port", row.port)
                    .add("serial", row.serial)
                    .add("model", row.device.model)
                    .add("version", row.device.version)
                    .add("bootloader", row.device.inBootloader)
                    .add("file-version", info.version)
                    .add("action", actionName(row)));
    rows.push_back(row);
  }

  bool anyTarget = false, allFine = true;
  for (const CheckRow& row : rows) {
    // As with --all, a device of another model is no target and no failure.
    if (row.answered && row.verdict == PolicyVerdict::kWrongModel) continue;
    anyTarget = true;
    allFine = allFine && row.answered &&
              (row.verdict == PolicyVerdict::kUpdate || row.verdict == PolicyVerdict::kUpToDate);
  }
  if (!anyTarget) runListener.message("Device not connected\n");
  if (!report.json() && !printTable(rows, info.version)) {
    messageText("Error: cannot write the table to standard output\n");
    return kExitFailure;
  }
  return anyTarget && allFine ? kExitSuccess : kExitFailure;
}
