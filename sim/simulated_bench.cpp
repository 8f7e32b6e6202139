#include "sim/simulated_bench.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>

#include "common/files.h"
#include "protocol/command_codes.h"
#include "sim/simulated_platform.h"

namespace {

// Bytes of image one CmdWriteData carries.
constexpr uint32_t kSimulatedChunk = 16;

// A whole word of digits (decimal, or hex after 0x) up to max.
bool parseCount(const std::string& text, uint32_t max, uint32_t* out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || value > max) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

// The id a well-formed word names; nullopt for anything else.
std::optional<uint16_t> wellFormedId(const std::optional<std::string>& word) {
  if (!word) return std::nullopt;
  const char* digits = word->c_str();
  if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits += 2;
  if (*digits == '\0' || std::strspn(digits, "0123456789abcdefABCDEF") != std::strlen(digits))
    return std::nullopt;
  uint32_t value = 0;
  for (const char* c = digits; *c != '\0'; ++c) {
    value = value * 16 + static_cast<uint32_t>(*c <= '9' ? *c - '0' : (*c | 0x20) - 'a' + 10);
    if (value > 0xFFFF) return std::nullopt;
  }
  if (value == 0) return std::nullopt;
  return static_cast<uint16_t>(value);
}

// The id of the word where it is well-formed, else the first from fallback
// up that is neither avoidA nor avoidB.
uint16_t simulatedId(const std::optional<std::string>& word, uint16_t fallback, uint16_t readA,
                     uint16_t readB) {
  if (const std::optional<uint16_t> id = wellFormedId(word)) return *id;
  uint16_t id = fallback;
  while (id == readA || id == readB || id == 0) ++id;
  return id;
}

}  // namespace

bool parseSimulatedFault(const std::string& text, SimulatedFault* fault) {
  std::string name = text;
  SimulatedFault parsed;
  const size_t at = name.find('@');
  if (at != std::string::npos) {
    parsed.port = name.substr(at + 1);
    name.resize(at);
    uint32_t index = 0;
    if (parsed.port.rfind("sim-", 0) != 0 || !parseCount(parsed.port.substr(4), 63, &index) ||
        parsed.port != "sim-" + std::to_string(index))
      return false;
  }
  std::string number;
  const size_t colon = name.find(':');
  if (colon != std::string::npos) {
    number = name.substr(colon + 1);
    name.resize(colon);
  }
  struct Form {
    const char* name;
    SimulatedFault::Kind kind;
    bool counted;
    uint32_t byDefault;
  };
  static constexpr Form kForms[] = {
      {"write-fail", SimulatedFault::Kind::kWriteFail, true, 0},
      {"verify-fail", SimulatedFault::Kind::kVerifyFail, false, 0},
      {"stall", SimulatedFault::Kind::kStall, true, 1},
      {"vanish", SimulatedFault::Kind::kVanish, true, 1},
      {"never-return", SimulatedFault::Kind::kNeverReturn, false, 0},
      {"wrong-boot-model", SimulatedFault::Kind::kWrongBootModel, false, 0},
  };
  for (const Form& form : kForms) {
    if (name != form.name) continue;
    parsed.kind = form.kind;
    parsed.number = form.byDefault;
    if (colon != std::string::npos) {
      const uint32_t least = parsed.kind == SimulatedFault::Kind::kWriteFail ? 0 : 1;
      if (!form.counted || !parseCount(number, 0xFFFFFFF0u, &parsed.number) ||
          parsed.number < least)
        return false;
    }
    *fault = parsed;
    return true;
  }
  return false;
}

DeviceIds simulatedDeviceIds(const GivenIds& given, const DeviceIds& read) {
  DeviceIds ids;
  ids.appVid = simulatedId(given.appVid, 0xABCD, read.appVid, read.bootVid);
  ids.appPids[0] = simulatedId(given.appPid, 0x1234, read.appPids[0], read.bootPid);
  // The application's ids must not meet the bootloader's filter either: that
  // device would pass for a bootloader waiting to be updated.
  ids.bootVid = simulatedId(given.bootVid, 0xABCD, read.bootVid, read.bootVid);
  ids.bootPid = simulatedId(given.bootPid, 0x1000, read.bootPid, read.bootPid);
  return ids;
}

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

void applySimulatedFault(const SimulatedFault& fault, DeviceModelConfig& config) {
  switch (fault.kind) {
    case SimulatedFault::Kind::kWriteFail: {
      // Every send of the chunk at the offset, and of any after it, is lost.
      DeviceFault lost;
      lost.kind = FaultKind::kNoAnswer;
      lost.command = CmdWriteData;
      lost.firstOccurrence = fault.number / kSimulatedChunk + 1;
      lost.count = 0;
      config.faults.push_back(lost);
      break;
    }
    case SimulatedFault::Kind::kVerifyFail:
      config.verify = VerifyBehaviour::kAlwaysFail;
      break;
    case SimulatedFault::Kind::kStall:
      config.stopTakingAfterDataFrames = fault.number;
      break;
    case SimulatedFault::Kind::kVanish:
      config.vanishAfterDataFrames = fault.number;
      break;
    case SimulatedFault::Kind::kNeverReturn:
      config.neverReturnAfterSwitch = true;
      break;
    case SimulatedFault::Kind::kWrongBootModel:
      config.bootModel = config.model == "OTHER" ? "OTHER-2" : "OTHER";
      break;
  }
}

void plugInSimulatedBench(SimulatedPlatform& platform, const SimulatedBench& bench,
                          const DeviceIds& read, const std::string& model) {
  const DeviceIds ids = simulatedDeviceIds(bench.given, read);
  const std::map<std::string, std::string> kept = bench.statePath.empty()
                                                      ? std::map<std::string, std::string>()
                                                      : readSimulatedState(bench.statePath);
  for (uint32_t i = 0; i < bench.devices; ++i) {
    char serial[16];
    std::snprintf(serial, sizeof serial, "SIM%04u", i + 1);
    const std::string port = "sim-" + std::to_string(i);
    DeviceModelConfig config = simulatedDeviceConfig(ids, model);
    const auto version = kept.find(port);
    if (version != kept.end()) config.version = version->second;
    for (const std::string& text : bench.faults) {
      SimulatedFault fault;
      if (parseSimulatedFault(text, &fault) && (fault.port.empty() || fault.port == port))
        applySimulatedFault(fault, config);
    }
    platform.addDevice(config, "", port, serial);
  }
}

void plugInSimulatedBench(SimulatedPlatform& platform, const DeviceIds& ids,
                          const std::string& model, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    char serial[16];
    std::snprintf(serial, sizeof serial, "SIM%04u", i + 1);
    platform.addDevice(simulatedDeviceConfig(ids, model), "", "sim-" + std::to_string(i), serial);
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
