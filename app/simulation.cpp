#include "app/simulation.h"

#include "app/update_context.h"

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
