#include "app/simulation.h"

#include <cstdio>
#include <sstream>

#include "common/files.h"
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
                          const std::string& model, uint32_t count, const std::string& statePath) {
  const std::map<std::string, std::string> kept =
      statePath.empty() ? std::map<std::string, std::string>() : readSimulatedState(statePath);
  for (uint32_t i = 0; i < count; ++i) {
    char serial[16];
    std::snprintf(serial, sizeof serial, "SIM%04u", i + 1);
    const std::string port = "sim-" + std::to_string(i);
    DeviceModelConfig config = simulatedDeviceConfig(ids, model);
    const auto version = kept.find(port);
    if (version != kept.end()) config.version = version->second;
    platform.addDevice(config, "", port, serial);
  }
}

std::map<std::string, std::string> readSimulatedState(const std::string& path) {
  std::map<std::string, std::string> versions;
  std::FILE* file = openFile(path, "rb");
  if (file == nullptr) return versions;
  std::string text;
  char block[4096];
  for (size_t got; (got = std::fread(block, 1, sizeof block, file)) > 0;) text.append(block, got);
  std::fclose(file);
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t space = line.find(' ');
    if (space == 0 || space == std::string::npos || space + 1 == line.size()) continue;
    versions[line.substr(0, space)] = line.substr(space + 1);
  }
  return versions;
}

bool recordSimulatedVersion(const std::string& path, const std::string& port,
                            const std::string& version) {
  std::map<std::string, std::string> versions = readSimulatedState(path);
  versions[port] = version;
  std::string text;
  for (const auto& [devicePort, deviceVersion] : versions)
    text += devicePort + " " + deviceVersion + "\n";
  std::FILE* file = openFile(path, "wb");
  if (file == nullptr) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (std::fclose(file) != 0) ok = false;
  return ok;
}
