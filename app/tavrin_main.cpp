#include "app/tavrin_main.h"

#include <memory>
#include <string>

#include "app/check_update.h"
#include "app/command_line.h"
#include "app/console.h"
#include "app/exit_status.h"
#include "app/gang_update.h"
#include "app/help_text.h"
#include "app/inspect.h"
#include "app/interruption.h"
#include "app/list_devices.h"
#include "app/message.h"
#include "app/read_versions.h"
#include "app/run_report.h"
#include "app/station.h"
#include "app/trusted_keys.h"
#include "app/udev.h"
#include "app/update_context.h"
#include "common/files.h"
#include "sim/simulated_bench.h"
#include "sim/simulated_platform.h"
#include "update/update_session.h"

namespace {

// What one run of the command line works with.
struct Run {
  UpdateContext& context;
  const CommandLine& line;
  HidPlatform& platform;
  SimulatedPlatform* simulation;  // the platform, when it is the simulated one
  RunReport& report;
  StopRequest stop;
};

TextEncoding consoleEncoding() {
  return consoleUsesGbk() ? TextEncoding::kGbk : TextEncoding::kUtf8;
}

// The single update: the file, then the one device of its model.
int runUpdateMode(Run& run) {
  UpdateContext& context = run.context;
  SessionReportStyle style;
  style.logPort = context.selectPort;
  style.traceWord = true;
  SessionReport listener(run.report, style);
  UpdateSetup setup;
  setup.filter = context;
  setup.platform = &run.platform;
  setup.listener = &listener;
  setup.exchanges = run.report.logging() ? &listener : nullptr;
  setup.stop = &run.stop;
  setup.bootIdsGiven = run.line.givenIds.bootIds();
  setup.verbose = context.verbose;
  setup.policy = context.policy;
  FirmwareInfo info;
  const UpdateResult result = runFileUpdate(
      context.firmwarePath, consoleEncoding(), context, info, context, setup,
      [&run, &context](const FirmwareInfo& loaded) {
        // The simulated devices take the model of the file, once it is known.
        if (run.simulation != nullptr)
          plugInSimulatedBench(*run.simulation, run.line.bench(), context, loaded.model);
      },
      &context.imageCheck);
  if (result.updated() && run.simulation != nullptr && !run.line.simulateStatePath.empty() &&
      !recordSimulatedVersion(run.line.simulateStatePath, result.port, info.version)) {
    message("Error: cannot write %s\n", run.line.simulateStatePath.c_str());
    return kExitFailure;
  }
  if (result.succeeded()) return kExitSuccess;
  // Stopped by the operator: the shell's convention, 128 + the signal.
  if (result.outcome == UpdateOutcome::kInterrupted) return kExitBySignal + run.stop.reason();
  return kExitFailure;
}

// The keys a firmware file must be signed with, for the modes that read one.
bool loadKeys(Run& run) {
  return loadTrustedKeys(run.line.trustKeyPaths, trustedKeysDirectory(),
                         &run.context.imageCheck.trustedKeys);
}

int runModes(Run& run) {
  const CommandLine& line = run.line;
  UpdateContext& context = run.context;
  if (line.udevProbe) return runUdevProbe(line.udevProbePath, run.platform);
  if (line.udevRule) return printUdevRule(context, line.udevGroup);
  if (line.inspect) {
    if (!loadKeys(run)) return kExitFailure;
    return runInspect(line.inspectPath, line.writeImage ? line.imageOutPath.c_str() : nullptr,
                      run.report, consoleEncoding(), context.verbose,
                      context.imageCheck.trustedKeys);
  }
  if (line.listDevices) {
    if (run.simulation != nullptr)
      plugInSimulatedBench(*run.simulation, line.bench(), context, kSimulatedDefaultModel);
    return listDevices(context, run.platform, run.report);
  }
  if (line.readMode) {
    if (!context.firmwarePath.empty()) message("Please don't use -r and -f at the same time\n");
    if (run.simulation != nullptr)
      plugInSimulatedBench(*run.simulation, line.bench(), context, kSimulatedDefaultModel);
    SessionReportStyle style;
    style.logPort = context.selectPort;
    style.versionEvents = true;
    SessionReport listener(run.report, style);
    return readDeviceVersions(context, run.platform, listener, context.verbose) ? kExitSuccess
                                                                                : kExitFailure;
  }
  if (!loadKeys(run)) return kExitFailure;
  if (line.check)
    return runUpdateCheck(context, line, run.platform, run.report, consoleEncoding(),
                          run.simulation);
  // Ctrl-C and SIGTERM stop the updates at their next safe point.
  InterruptGuard guard(run.stop, line.givenIds.bootIds());
  if (line.station)
    return runStation(context, line, run.platform, run.report, run.stop, consoleEncoding(),
                      run.simulation);
  if (line.all)
    return runGangUpdate(context, line, run.platform, run.report, run.stop, consoleEncoding(),
                         run.simulation);
  return runUpdateMode(run);
}

// The log is appended to as the run goes: under the name of a file the run
// reads or writes, its lines would be flashed with the firmware, or the image
// written over them. Checked before the log is opened, so nothing is written.
bool logPathIsFree(const CommandLine& line, const UpdateContext& context) {
  if (line.logPath.empty()) return true;
  const char* clash = nullptr;
  if ((!context.firmwarePath.empty() && samePlace(line.logPath, context.firmwarePath)) ||
      (line.inspect && samePlace(line.logPath, line.inspectPath)))
    clash = "the firmware file";
  else if (line.writeImage && samePlace(line.logPath, line.imageOutPath))
    clash = "the --image-out file";
  if (clash == nullptr) return true;
  message("Error: --log %s is %s; name another file\n", line.logPath.c_str(), clash);
  return false;
}

}  // namespace

int tavrinMain(int argc, const char* const* argv) {
  // The record of this run's update: the only one there is.
  UpdateContext context;
  CommandLine line;
  RunReport report;
  // Without any word the help text is shown and the update mode still runs,
  // which then reports the missing firmware file.
  if (argc <= 1) {
    printHelpText();
    std::unique_ptr<HidPlatform> platform = createNativeHidPlatform();
    Run run{context, line, *platform, nullptr, report, {}};
    InterruptGuard guard(run.stop, false);
    return runUpdateMode(run);
  }

  if (scanCommandLine(argc, argv, context, &line) != kScanOk) return kExitUsage;
  if (line.showHelp) return statusWithOutputChecked(printLongHelp() ? kExitSuccess : kExitFailure);
  if (line.showVersion) {
    printBanner();
    return kExitSuccess;
  }

  if (!logPathIsFree(line, context) || !report.start(line, argc, argv)) return kExitUsage;
  std::unique_ptr<SimulatedPlatform> simulation;
  std::unique_ptr<HidPlatform> native;
  if (line.simulate) {
    simulation = std::make_unique<SimulatedPlatform>();
    if (line.simulateLatencyMs != 0) {
      simulation->setExchangeLatencyMs(line.simulateLatencyMs);
      simulation->setPacedByRealTime(true);
    }
  } else {
    native = createNativeHidPlatform();
  }
  HidPlatform& platform = simulation ? static_cast<HidPlatform&>(*simulation) : *native;
  Run run{context, line, platform, simulation.get(), report, {}};
  return report.finishedWith(runModes(run));
}
