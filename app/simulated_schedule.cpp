#include "app/simulated_schedule.h"

#include <cstdio>
#include <cstdlib>
#include <map>

#include "protocol/command_codes.h"
#include "sim/simulated_bench.h"
#include "sim/simulated_platform.h"

namespace {

bool parseCount(const std::string& text, uint32_t max, uint32_t* out) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
  if (value > max) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

bool parseEvent(const std::string& word, ScheduledEvent* event, std::string* problem) {
  const size_t sign = word.find_first_of("+-");
  uint32_t atMs = 0;
  if (sign == std::string::npos || !parseCount(word.substr(0, sign), 86400000, &atMs)) {
    *problem = "an event MS+PORT or MS-PORT, not '" + word + "'";
    return false;
  }
  event->atMs = atMs;
  event->plug = word[sign] == '+';
  std::string rest = word.substr(sign + 1);
  const size_t slash = rest.find('/');
  event->port = rest.substr(0, slash);
  if (event->port.empty()) {
    *problem = "a port in '" + word + "'";
    return false;
  }
  std::string options = slash == std::string::npos ? "" : rest.substr(slash + 1);
  if (!event->plug && !options.empty()) {
    *problem = "no options after a pull in '" + word + "'";
    return false;
  }
  while (!options.empty()) {
    const size_t end = options.find('/');
    const std::string option = options.substr(0, end);
    options = end == std::string::npos ? "" : options.substr(end + 1);
    const size_t equals = option.find('=');
    const std::string key = option.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : option.substr(equals + 1);
    bool ok = true;
    if (key == "serial" && equals != std::string::npos) {
      event->serial = value;
      event->serialSet = true;
    } else if (key == "version" && equals != std::string::npos) {
      event->version = value;
    } else if (option == "boot") {
      event->bootloader = true;
    } else if (option == "stay") {
      event->restart = false;
    } else if (key == "vanish") {
      ok = parseCount(value, 1000000, &event->vanishAfter) && event->vanishAfter > 0;
    } else if (key == "verify-fails") {
      ok = parseCount(value, 1000, &event->verifyFailures);
    } else {
      ok = false;
    }
    if (!ok) {
      *problem =
          "a known board option (serial=S, version=V, boot, stay, vanish=N, "
          "verify-fails=N), not '" +
          option + "'";
      return false;
    }
  }
  return true;
}

}  // namespace

bool parseSimulatedSchedule(const std::string& text, std::vector<ScheduledEvent>* events,
                            std::string* problem) {
  events->clear();
  std::string word;
  for (size_t i = 0; i <= text.size(); ++i) {
    const char c = i < text.size() ? text[i] : ' ';
    if (c != ' ' && c != ';' && c != '\t' && c != '\n') {
      word += c;
      continue;
    }
    if (word.empty()) continue;
    ScheduledEvent event;
    if (!parseEvent(word, &event, problem)) return false;
    events->push_back(event);
    word.clear();
  }
  if (events->empty()) {
    *problem = "at least one event";
    return false;
  }
  return true;
}

void applySimulatedSchedule(SimulatedPlatform& platform, const DeviceIds& ids,
                            const FirmwareInfo& info, const std::string& schedule) {
  std::vector<ScheduledEvent> events;
  std::string problem;
  if (!parseSimulatedSchedule(schedule, &events, &problem)) return;
  std::map<std::string, size_t> lastOnPort;
  uint32_t boards = 0;
  for (const ScheduledEvent& event : events) {
    if (!event.plug) {
      const auto found = lastOnPort.find(event.port);
      if (found != lastOnPort.end()) platform.scheduleUnplug(event.atMs, found->second);
      continue;
    }
    DeviceModelConfig config = simulatedDeviceConfig(ids, info.model);
    if (!event.version.empty()) config.version = event.version;
    config.startMode = event.bootloader ? kModeBootloader : kModeApplication;
    config.restartAfterFinish = event.restart;
    config.versionAfterFinish = info.version;
    config.vanishAfterDataFrames = event.vanishAfter;
    if (event.verifyFailures > 0) {
      // A verify answer whose echo is wrong is a failed verify to the host.
      DeviceFault fault;
      fault.kind = FaultKind::kWrongEcho;
      fault.command = CmdVerify;
      fault.count = event.verifyFailures;
      config.faults.push_back(fault);
    }
    char serial[16];
    std::snprintf(serial, sizeof serial, "SIM%04u", ++boards);
    lastOnPort[event.port] = platform.schedulePlug(event.atMs, config, event.port,
                                                   event.serialSet ? event.serial : serial);
  }
}
