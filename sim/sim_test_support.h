// Test helpers: a simulated platform installed for the duration of a test.
#pragma once

#include <string>

#include "app/update_context.h"
#include "hid/hid_platform.h"
#include "sim/simulated_platform.h"
#include "tests/reset_context.h"

/// Installs a fresh SimulatedPlatform and clean program state; restores the
/// native backend afterwards.
struct ScopedSimulation {
  SimulatedPlatform platform;
  ScopedSimulation() {
    resetUpdateContext();
    clearHidPermissionProblems();
    setHidPlatform(&platform);
  }
  ~ScopedSimulation() {
    setHidPlatform(nullptr);
    clearHidPermissionProblems();
    resetUpdateContext();
  }
  ScopedSimulation(const ScopedSimulation&) = delete;
  ScopedSimulation& operator=(const ScopedSimulation&) = delete;
};

/// A device with the ids the tests configure: application abcd:1234,
/// bootloader abcd:1000.
inline DeviceModelConfig scannerConfig(const std::string& model = "QS-100",
                                       const std::string& version = "V1.2.3",
                                       DeviceMode startMode = kModeApplication) {
  DeviceModelConfig config;
  config.appVid = 0xABCD;
  config.appPid = 0x1234;
  config.bootVid = 0xABCD;
  config.bootPid = 0x1000;
  config.model = model;
  config.version = version;
  config.startMode = startMode;
  return config;
}

/// Configures gContext for the ids of scannerConfig().
inline void configureScannerIds() {
  gContext.appVid = 0xABCD;
  gContext.appPids[0] = 0x1234;
  gContext.bootVid = 0xABCD;
  gContext.bootPid = 0x1000;
}
