// Platforms and the simulated devices of the C interface.
#include <algorithm>
#include <cstring>
#include <limits>

#include "api/handles.h"
#include "protocol/command_codes.h"
#include "sim/simulated_bench.h"

DeviceFilter filterOf(const tavrin_ids* ids) {
  DeviceFilter filter;
  if (ids == nullptr) return filter;
  filter.appVid = ids->app_vid;
  filter.appPids[0] = ids->app_pid;
  filter.bootVid = ids->boot_vid;
  filter.bootPid = ids->boot_pid;
  return filter;
}

HidPlatform* platformFor(tavrin_platform* platform, std::unique_ptr<HidPlatform>* owned) {
  if (platform != nullptr) return &platform->hid();
  *owned = createNativeHidPlatform();
  return owned->get();
}

namespace {

// A whole decimal or 0x-hexadecimal number no greater than limit.
bool parseNumber(const std::string& text, uint64_t limit, uint64_t* value) {
  if (text.empty()) return false;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const unsigned base = hex ? 16 : 10;
  uint64_t result = 0;
  for (size_t i = hex ? 2 : 0; i < text.size(); ++i) {
    const char c = text[i];
    unsigned digit;
    if (c >= '0' && c <= '9')
      digit = static_cast<unsigned>(c - '0');
    else if (hex && c >= 'a' && c <= 'f')
      digit = static_cast<unsigned>(c - 'a' + 10);
    else if (hex && c >= 'A' && c <= 'F')
      digit = static_cast<unsigned>(c - 'A' + 10);
    else
      return false;
    if (result > (limit - digit) / base) return false;
    result = result * base + digit;
  }
  *value = result;
  return true;
}

template <typename T>
bool parseInto(const std::string& text, T* field) {
  uint64_t value = 0;
  if (!parseNumber(text, std::numeric_limits<T>::max(), &value)) return false;
  *field = static_cast<T>(value);
  return true;
}

bool parseCommand(const std::string& text, uint8_t* command) {
  static constexpr struct {
    const char* name;
    Command code;
  } kNames[] = {{"read-version", CmdReadVersion}, {"get-info", CmdGetInfo},
                {"set-protocol", CmdSetProtocol}, {"start-update", CmdStartUpdate},
                {"write-data", CmdWriteData},     {"verify", CmdVerify},
                {"finish", CmdFinish},            {"enter-bootloader", CmdEnterBootloader}};
  for (const auto& entry : kNames)
    if (text == entry.name) {
      *command = entry.code;
      return true;
    }
  return parseInto(text, command);
}

bool parseFaultKind(const std::string& text, FaultKind* kind) {
  static constexpr struct {
    const char* name;
    FaultKind kind;
  } kNames[] = {{"no-answer", FaultKind::kNoAnswer},
                {"late-answer", FaultKind::kLateAnswer},
                {"wrong-marker", FaultKind::kWrongMarker},
                {"wrong-echo", FaultKind::kWrongEcho},
                {"garbage", FaultKind::kGarbage}};
  for (const auto& entry : kNames)
    if (text == entry.name) {
      *kind = entry.kind;
      return true;
    }
  return false;
}

// KIND:COMMAND[:FIRST[:COUNT[:DELAY_MS]]]
bool parseFault(const std::string& text, DeviceFault* fault) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t colon = text.find(':', start);
    fields.push_back(text.substr(start, colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  if (fields.size() < 2 || fields.size() > 5) return false;
  DeviceFault parsed;
  if (!parseFaultKind(fields[0], &parsed.kind) || !parseCommand(fields[1], &parsed.command))
    return false;
  if (fields.size() > 2 && (!parseInto(fields[2], &parsed.firstOccurrence) ||
                            parsed.firstOccurrence == 0))
    return false;
  if (fields.size() > 3 && !parseInto(fields[3], &parsed.count)) return false;
  if (fields.size() > 4 && !parseInto(fields[4], &parsed.delayMs)) return false;
  *fault = parsed;
  return true;
}

bool setDeviceValue(tavrin_sim_device& device, const std::string& key, const std::string& value) {
  DeviceModelConfig& config = device.config;
  if (key == "version") {
    config.version = value;
  } else if (key == "port") {
    device.port = value;
  } else if (key == "serial") {
    device.serial = value;
  } else if (key == "start-mode") {
    if (value != "application" && value != "bootloader") return false;
    config.startMode = value == "bootloader" ? kModeBootloader : kModeApplication;
  } else if (key == "protocol-version") {
    return parseInto(value, &config.protocolVersion);
  } else if (key == "capabilities") {
    return parseInto(value, &config.capabilityMask);
  } else if (key == "set-protocol-result") {
    return parseInto(value, &config.setProtocolResult);
  } else if (key == "verify") {
    if (value == "check-crc")
      config.verify = VerifyBehaviour::kCheckCrc;
    else if (value == "pass")
      config.verify = VerifyBehaviour::kAlwaysPass;
    else if (value == "fail")
      config.verify = VerifyBehaviour::kAlwaysFail;
    else
      return false;
  } else if (key == "restart-ms") {
    return parseInto(value, &config.reenumerateDelayMs);
  } else if (key == "never-return") {
    if (value != "0" && value != "1") return false;
    config.neverReturnAfterSwitch = value == "1";
  } else if (key == "vanish-after") {
    return parseInto(value, &config.vanishAfterDataFrames);
  } else if (key == "stop-taking-after") {
    return parseInto(value, &config.stopTakingAfterDataFrames);
  } else if (key == "fault") {
    DeviceFault fault;
    if (!parseFault(value, &fault)) return false;
    config.faults.push_back(fault);
  } else {
    return false;
  }
  return true;
}

}  // namespace

extern "C" {

tavrin_platform* tavrin_platform_native(void) {
  return guarded<tavrin_platform*>(nullptr, [] {
    auto platform = std::make_unique<tavrin_platform>();
    platform->native = createNativeHidPlatform();
    return platform->native ? platform.release() : nullptr;
  });
}

tavrin_platform* tavrin_platform_simulated(void) {
  return guarded<tavrin_platform*>(nullptr, [] {
    auto platform = std::make_unique<tavrin_platform>();
    platform->simulated = std::make_unique<SimulatedPlatform>();
    return platform.release();
  });
}

void tavrin_platform_free(tavrin_platform* platform) { delete platform; }

tavrin_sim_device* tavrin_sim_device_new(const char* model, const tavrin_ids* ids) {
  if (model == nullptr || ids == nullptr) return nullptr;
  return guarded<tavrin_sim_device*>(nullptr, [&] {
    auto device = std::make_unique<tavrin_sim_device>();
    device->config = simulatedDeviceConfig(filterOf(ids), model);
    return device.release();
  });
}

int tavrin_sim_device_set(tavrin_sim_device* device, const char* key, const char* value) {
  if (device == nullptr || key == nullptr || value == nullptr) return TAVRIN_ERROR_ARGUMENT;
  return guarded<int>(TAVRIN_ERROR_SYSTEM, [&] {
    return setDeviceValue(*device, key, value) ? TAVRIN_OK : TAVRIN_ERROR_ARGUMENT;
  });
}

void tavrin_sim_device_free(tavrin_sim_device* device) { delete device; }

int tavrin_sim_add(tavrin_platform* platform, const tavrin_sim_device* device) {
  if (platform == nullptr || !platform->simulated || device == nullptr)
    return TAVRIN_ERROR_ARGUMENT;
  return guarded<int>(TAVRIN_ERROR_SYSTEM, [&] {
    const size_t id =
        platform->simulated->addDevice(device->config, "", device->port, device->serial);
    return id > static_cast<size_t>(std::numeric_limits<int>::max()) ? TAVRIN_ERROR_SYSTEM
                                                                     : static_cast<int>(id);
  });
}

int tavrin_sim_add_bench(tavrin_platform* platform, const char* model, const tavrin_ids* ids,
                         uint32_t count) {
  if (platform == nullptr || !platform->simulated || ids == nullptr) return TAVRIN_ERROR_ARGUMENT;
  return guarded<int>(TAVRIN_ERROR_SYSTEM, [&] {
    plugInSimulatedBench(*platform->simulated, filterOf(ids),
                         model != nullptr ? model : kSimulatedDefaultModel, count);
    return TAVRIN_OK;
  });
}

int tavrin_sim_set_latency(tavrin_platform* platform, uint32_t ms) {
  if (platform == nullptr || !platform->simulated) return TAVRIN_ERROR_ARGUMENT;
  platform->simulated->setExchangeLatencyMs(ms);
  platform->simulated->setPacedByRealTime(ms != 0);
  return TAVRIN_OK;
}

long tavrin_sim_stored_image(tavrin_platform* platform, int id, uint8_t* buffer, size_t size,
                             int* finished) {
  if (platform == nullptr || !platform->simulated || id < 0 || (buffer == nullptr && size != 0))
    return TAVRIN_ERROR_ARGUMENT;
  return guarded<long>(TAVRIN_ERROR_ARGUMENT, [&]() -> long {
    // model() throws std::out_of_range for an id never handed out.
    const DeviceModel& model = platform->simulated->model(static_cast<size_t>(id));
    const std::vector<uint8_t>& image = model.storedImage();
    if (size != 0) std::memcpy(buffer, image.data(), std::min(size, image.size()));
    if (finished != nullptr) *finished = model.finished() ? 1 : 0;
    return static_cast<long>(std::min<size_t>(image.size(), std::numeric_limits<long>::max()));
  });
}

}  // extern "C"
