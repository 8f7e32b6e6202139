#include "sim/simulated_bench.h"

#include <cstdio>

#include "sim/simulated_platform.h"

DeviceModelConfig simulatedDeviceConfig(const DeviceIds& ids, const std::string& model) {
  DeviceModelConfig config;
  config.appVid = ids.appVid;
  config.appPid = ids.appPids[0];
  config.bootVid = ids.bootVid;
  config.bootPid = ids.bootPid;
  config.model = model;
  config.version = "0.0.1-sim";
  config.startMode = kModeApplication;
  config.protocolVersion = 1;
  config.capabilityMask = 0x01;
  config.verify = VerifyBehaviour::kCheckCrc;
  config.reenumerateDelayMs = 1200;
  return config;
}

void plugInSimulatedBench(SimulatedPlatform& platform, const DeviceIds& ids,
                          const std::string& model, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    char serial[16];
    std::snprintf(serial, sizeof serial, "SIM%04u", i + 1);
    platform.addDevice(simulatedDeviceConfig(ids, model), "", "sim-" + std::to_string(i), serial);
  }
}
