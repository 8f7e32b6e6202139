#include "app/simulation.h"

#include <cstdio>

#include "app/update_context.h"
#include "sim/simulated_platform.h"

DeviceModelConfig simulatedDeviceConfig(const std::string& model) {
  DeviceModelConfig config;
  config.appVid = gContext.appVid;
  config.appPid = gContext.appPids[0];
  config.bootVid = gContext.bootVid;
  config.bootPid = gContext.bootPid;
  config.model = model;
  config.version = "0.0.1-sim";
  config.startMode = kModeApplication;
  config.protocolVersion = 1;
  config.capabilityMask = 0x01;
  config.verify = VerifyBehaviour::kCheckCrc;
  config.reenumerateDelayMs = 1200;
  return config;
}

void plugInSimulatedBench(SimulatedPlatform& platform, const std::string& model, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    char serial[16];
    std::snprintf(serial, sizeof serial, "SIM%04u", i + 1);
    platform.addDevice(simulatedDeviceConfig(model), "", "sim-" + std::to_string(i), serial);
  }
}
