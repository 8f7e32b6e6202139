#include "app/tavrin_main.h"

#include <memory>

#include "app/command_line.h"
#include "app/exit_status.h"
#include "app/help_text.h"
#include "app/inspect.h"
#include "app/list_devices.h"
#include "app/message.h"
#include "app/read_versions.h"
#include "app/simulation.h"
#include "app/update_context.h"
#include "sim/simulated_platform.h"
#include "update/interruption.h"
#include "update/update_session.h"

namespace {

int runUpdateMode(SimulatedPlatform* simulation) {
  InterruptGuard guard;
  if (simulation == nullptr) {
    runUpdateSession();
  } else {
    // The simulated device takes the model of the file, once it is known.
    runUpdateSession([simulation](const FirmwareInfo& info) {
      simulation->addDevice(simulatedDeviceConfig(info.model));
    });
  }
  if (updateSucceeded()) return kExitSuccess;
  // Stopped by the operator: the shell's convention, 128 + the signal.
  if (interruptSignal() != 0) return kExitBySignal + interruptSignal();
  return kExitFailure;
}

int runModes(const CommandLine& line, SimulatedPlatform* simulation) {
  if (line.inspect)
    return runInspect(line.inspectPath, line.writeImage ? line.imageOutPath.c_str() : nullptr);
  if (line.listDevices) {
    if (simulation != nullptr) simulation->addDevice(simulatedDeviceConfig(kSimulatedDefaultModel));
    return listDevices();
  }
  if (line.readMode) {
    if (!gContext.firmwarePath.empty()) message("Please don't use -r and -f at the same time\n");
    if (simulation != nullptr) simulation->addDevice(simulatedDeviceConfig(kSimulatedDefaultModel));
    return readDeviceVersions() ? kExitSuccess : kExitFailure;
  }
  return runUpdateMode(simulation);
}

}  // namespace

int tavrinMain(int argc, const char* const* argv) {
  // Without any word the help text is shown and the update mode still runs,
  // which then reports the missing firmware file.
  if (argc <= 1) {
    printHelpText();
    return runUpdateMode(nullptr);
  }

  CommandLine line;
  if (scanCommandLine(argc, argv, &line) != kScanOk) return kExitUsage;
  if (line.showHelp) {
    printHelpText();
    return kExitSuccess;
  }
  if (line.showVersion) {
    printBanner();
    return kExitSuccess;
  }

  std::unique_ptr<SimulatedPlatform> simulation;
  if (line.simulate) {
    simulation = std::make_unique<SimulatedPlatform>();
    if (line.simulateLatencyMs != 0) {
      simulation->setExchangeLatencyMs(line.simulateLatencyMs);
      simulation->setPacedByRealTime(true);
    }
    setHidPlatform(simulation.get());
  }
  const int status = runModes(line, simulation.get());
  if (simulation) setHidPlatform(nullptr);
  return status;
}
