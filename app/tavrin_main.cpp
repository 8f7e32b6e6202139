#include "app/tavrin_main.h"

#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/exit_status.h"
#include "app/gang_update.h"
#include "app/help_text.h"
#include "app/inspect.h"
#include "app/list_devices.h"
#include "app/message.h"
#include "app/read_versions.h"
#include "app/run_report.h"
#include "app/simulation.h"
#include "app/udev.h"
#include "app/update_context.h"
#include "image/container.h"
#include "sim/simulated_platform.h"
#include "update/interruption.h"
#include "update/session_listener.h"
#include "update/update_session.h"

namespace {

int runUpdateMode(const CommandLine& line, SimulatedPlatform* simulation) {
  InterruptGuard guard;
  // JSON Lines on standard output leave no room for the container's trace word.
  if (line.json) setContainerTraceEnabled(false);
  if (simulation == nullptr) {
    runUpdateSession();
  } else {
    // The simulated devices take the model of the file, once it is known.
    runUpdateSession([simulation, &line](const FirmwareInfo& info) {
      plugInSimulatedBench(*simulation, info.model, line.simulatedDevices);
    });
  }
  if (updateSucceeded()) return kExitSuccess;
  // Stopped by the operator: the shell's convention, 128 + the signal.
  if (interruptSignal() != 0) return kExitBySignal + interruptSignal();
  return kExitFailure;
}

int runModes(const CommandLine& line, const std::vector<std::string>& words,
             SimulatedPlatform* simulation) {
  if (line.udevProbe) return runUdevProbe(line.udevProbePath);
  if (line.udevRule) return printUdevRule();
  if (line.inspect)
    return runInspect(line.inspectPath, line.writeImage ? line.imageOutPath.c_str() : nullptr);
  if (line.listDevices) {
    if (simulation != nullptr)
      plugInSimulatedBench(*simulation, kSimulatedDefaultModel, line.simulatedDevices);
    return listDevices();
  }
  if (line.readMode) {
    if (!gContext.firmwarePath.empty()) message("Please don't use -r and -f at the same time\n");
    if (simulation != nullptr)
      plugInSimulatedBench(*simulation, kSimulatedDefaultModel, line.simulatedDevices);
    return readDeviceVersions() ? kExitSuccess : kExitFailure;
  }
  if (line.all) return runGangUpdate(line, words, simulation);
  return runUpdateMode(line, simulation);
}

}  // namespace

int tavrinMain(int argc, const char* const* argv) {
  // Without any word the help text is shown and the update mode still runs,
  // which then reports the missing firmware file.
  if (argc <= 1) {
    printHelpText();
    return runUpdateMode(CommandLine{}, nullptr);
  }

  CommandLine line;
  if (scanCommandLine(argc, argv, &line) != kScanOk) return kExitUsage;
  if (line.showHelp) return printLongHelp() ? kExitSuccess : kExitFailure;
  if (line.showVersion) {
    printBanner();
    return kExitSuccess;
  }

  RunReport& report = runReport();
  if (!report.start(line, argc, argv)) return kExitUsage;
  std::unique_ptr<SimulatedPlatform> simulation;
  if (line.simulate) {
    simulation = std::make_unique<SimulatedPlatform>();
    if (line.simulateLatencyMs != 0) {
      simulation->setExchangeLatencyMs(line.simulateLatencyMs);
      simulation->setPacedByRealTime(true);
    }
    setHidPlatform(simulation.get());
  }
  const std::vector<std::string> words(argv + 1, argv + argc);
  setSessionListener(&report);
  if (!line.logPath.empty()) setExchangeListener(&report);
  const int status = runModes(line, words, simulation.get());
  report.finishedWith(status);
  setExchangeListener(nullptr);
  setSessionListener(nullptr);
  if (simulation) setHidPlatform(nullptr);
  return status;
}
