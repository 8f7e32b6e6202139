#include "tools/sim/sim_options.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

// Whole-word unsigned number; base 16 for ids and masks, else decimal or 0x.
bool parseNumber(const std::string& text, int base, uint32_t max, uint32_t& out) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text.c_str(), &end, base);
  if (errno != 0 || end == text.c_str() || *end != '\0' || value > max) return false;
  out = static_cast<uint32_t>(value);
  return true;
}

bool setHex16(const std::string& key, const std::string& value, uint16_t& field,
              std::string& error) {
  uint32_t n = 0;
  if (!parseNumber(value, 16, 0xFFFF, n)) {
    error = key + ": expected a hexadecimal number up to ffff, got '" + value + "'";
    return false;
  }
  field = static_cast<uint16_t>(n);
  return true;
}

bool setHex8(const std::string& key, const std::string& value, uint8_t& field, std::string& error) {
  uint32_t n = 0;
  if (!parseNumber(value, 16, 0xFF, n)) {
    error = key + ": expected a hexadecimal number up to ff, got '" + value + "'";
    return false;
  }
  field = static_cast<uint8_t>(n);
  return true;
}

bool setCount(const std::string& key, const std::string& value, uint32_t& field,
              std::string& error) {
  if (!parseNumber(value, 0, 0xFFFFFFFFu, field)) {
    error = key + ": expected a number, got '" + value + "'";
    return false;
  }
  return true;
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

bool readFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  text = buffer.str();
  return true;
}

}  // namespace

SimDeviceOptions defaultSimDevice() {
  SimDeviceOptions d;
  d.model.appVid = 0xABCD;
  d.model.appPid = 0x1234;
  d.model.bootVid = 0xABCD;
  d.model.bootPid = 0x1000;
  d.model.model = "TVR-100";
  d.model.version = "1.0.0";
  d.model.startMode = kModeApplication;
  return d;
}

namespace {

// Every setting, once: whether it takes a value and which tools know it.
struct Setting {
  const char* key;
  bool flag;
  bool uhid;
  bool gadget;
};

constexpr Setting kSettings[] = {
    {"app-vid", false, true, true},          {"app-pid", false, true, true},
    {"boot-vid", false, true, true},         {"boot-pid", false, true, true},
    {"model", false, true, true},            {"version", false, true, true},
    {"boot-model", false, true, true},
    {"name", false, true, true},             {"port", false, true, true},
    {"serial", false, true, true},           {"no-out-endpoint", true, false, true},
    {"keyboard-collection", false, true, false},
    {"start-mode", false, true, true},       {"protocol-version", false, true, true},
    {"capability-mask", false, true, true},  {"set-protocol-result", false, true, true},
    {"verify", false, true, true},           {"switch-delay-ms", false, true, true},
    {"never-return", true, true, true},      {"vanish-after-writes", false, true, true},
    {"stall-after-writes", false, true, true},
    {"fault", false, true, true},            {"next-device", true, true, true},
    {"config", false, true, true},           {"frame-log", false, true, true},
    {"image-out", false, true, true},        {"ready-file", false, true, true},
    {"stats-file", false, true, true},       {"lifetime", false, true, true},
    {"answer-delay-ms", false, true, true},  {"interval-ms", false, true, true},
    {"verbose", true, true, true},           {"help", true, true, true},
    {"appear-at", false, true, true},        {"leave-at", false, true, true},
    {"restart-after-finish", false, true, true},
    {"next-board-after-finish", false, true, true},
};

const Setting* findSetting(const std::string& key) {
  for (const Setting& setting : kSettings)
    if (key == setting.key) return &setting;
  return nullptr;
}

}  // namespace

bool simSettingIsFlag(const std::string& key) {
  const Setting* setting = findSetting(key);
  return setting != nullptr && setting->flag;
}

bool simSettingIsKnown(const std::string& key) {
  return findSetting(key) != nullptr;
}

std::vector<std::string> simSettingNames(SimTransport transport) {
  std::vector<std::string> names;
  for (const Setting& setting : kSettings)
    if (transport == SimTransport::kGadget ? setting.gadget : setting.uhid)
      names.push_back(setting.key);
  return names;
}

bool parseSimFault(const std::string& text, DeviceFault& fault, std::string& error) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, ':')) parts.push_back(part);
  if (parts.size() < 3 || parts.size() > 5) {
    error = "fault: expected KIND:COMMAND:FIRST[:COUNT[:DELAY_MS]], got '" + text + "'";
    return false;
  }
  const std::string& kind = parts[0];
  if (kind == "no-answer")
    fault.kind = FaultKind::kNoAnswer;
  else if (kind == "late")
    fault.kind = FaultKind::kLateAnswer;
  else if (kind == "wrong-marker")
    fault.kind = FaultKind::kWrongMarker;
  else if (kind == "wrong-echo")
    fault.kind = FaultKind::kWrongEcho;
  else if (kind == "garbage")
    fault.kind = FaultKind::kGarbage;
  else {
    error = "fault: unknown kind '" + kind + "'";
    return false;
  }
  uint32_t n = 0;
  if (!parseNumber(parts[1], 16, 0xFF, n)) {
    error = "fault: command must be a hexadecimal byte, got '" + parts[1] + "'";
    return false;
  }
  fault.command = static_cast<uint8_t>(n);
  if (!parseNumber(parts[2], 10, 0xFFFFFFFFu, fault.firstOccurrence) ||
      fault.firstOccurrence == 0) {
    error = "fault: FIRST counts from 1, got '" + parts[2] + "'";
    return false;
  }
  fault.count = 1;
  if (parts.size() > 3 && !parseNumber(parts[3], 10, 0xFFFFFFFFu, fault.count)) {
    error = "fault: COUNT must be a number, got '" + parts[3] + "'";
    return false;
  }
  fault.delayMs = 0;
  if (parts.size() > 4 && !parseNumber(parts[4], 10, 600000, fault.delayMs)) {
    error = "fault: DELAY_MS must be a number up to 600000, got '" + parts[4] + "'";
    return false;
  }
  if (fault.kind == FaultKind::kLateAnswer && parts.size() < 5) {
    error = "fault: a late answer needs DELAY_MS";
    return false;
  }
  return true;
}

bool applySimSetting(const std::string& key, const std::string& value, SimOptions& options,
                     std::string& error) {
  if (options.devices.empty()) options.devices.push_back(defaultSimDevice());
  SimDeviceOptions& dev = options.devices.back();
  DeviceModelConfig& m = dev.model;

  if (key == "frame-log")
    options.frameLog = value;
  else if (key == "image-out")
    options.imageOut = value;
  else if (key == "ready-file")
    options.readyFile = value;
  else if (key == "stats-file")
    options.statsFile = value;
  else if (key == "lifetime")
    return setCount(key, value, options.lifetimeSeconds, error);
  else if (key == "verbose")
    options.verbose = true;
  else if (key == "help")
    options.help = true;
  else if (key == "next-device") {
    // A copy of the current device, but plugged in elsewhere.
    options.devices.push_back(dev);
    options.devices.back().port.clear();
    options.devices.back().serial.clear();
    options.devices.back().appearAtMs = -1;
    options.devices.back().leaveAtMs = -1;
  } else if (key == "app-vid")
    return setHex16(key, value, m.appVid, error);
  else if (key == "app-pid")
    return setHex16(key, value, m.appPid, error);
  else if (key == "boot-vid")
    return setHex16(key, value, m.bootVid, error);
  else if (key == "boot-pid")
    return setHex16(key, value, m.bootPid, error);
  else if (key == "model")
    m.model = value;
  else if (key == "boot-model")
    m.bootModel = value;
  else if (key == "version")
    m.version = value;
  else if (key == "name")
    dev.name = value;
  else if (key == "port")
    dev.port = value;
  else if (key == "serial")
    dev.serial = value;
  else if (key == "keyboard-collection") {
    if (value == "before")
      dev.keyboard = SimDeviceOptions::Keyboard::kBefore;
    else if (value == "after")
      dev.keyboard = SimDeviceOptions::Keyboard::kAfter;
    else {
      error = "keyboard-collection: expected before or after, got '" + value + "'";
      return false;
    }
  } else if (key == "answer-delay-ms")
    return setCount(key, value, options.answerDelayMs, error);
  else if (key == "interval-ms")
    return setCount(key, value, options.intervalMs, error);
  else if (key == "no-out-endpoint")
    dev.noOutEndpoint = true;
  else if (key == "start-mode") {
    if (value == "application" || value == "app")
      m.startMode = kModeApplication;
    else if (value == "bootloader" || value == "boot")
      m.startMode = kModeBootloader;
    else {
      error = "start-mode: expected application or bootloader, got '" + value + "'";
      return false;
    }
  } else if (key == "protocol-version") {
    uint32_t n = 0;
    if (!parseNumber(value, 0, 0xFFFF, n)) {
      error = "protocol-version: expected a number up to 65535, got '" + value + "'";
      return false;
    }
    m.protocolVersion = static_cast<uint16_t>(n);
  } else if (key == "capability-mask")
    return setHex8(key, value, m.capabilityMask, error);
  else if (key == "set-protocol-result")
    return setHex8(key, value, m.setProtocolResult, error);
  else if (key == "verify") {
    if (value == "crc")
      m.verify = VerifyBehaviour::kCheckCrc;
    else if (value == "pass")
      m.verify = VerifyBehaviour::kAlwaysPass;
    else if (value == "fail")
      m.verify = VerifyBehaviour::kAlwaysFail;
    else {
      error = "verify: expected crc, pass or fail, got '" + value + "'";
      return false;
    }
  } else if (key == "switch-delay-ms")
    return setCount(key, value, m.reenumerateDelayMs, error);
  else if (key == "never-return")
    m.neverReturnAfterSwitch = true;
  else if (key == "restart-after-finish") {
    // After the finish it restarts into its application, now of this version.
    m.restartAfterFinish = true;
    m.versionAfterFinish = value;
  } else if (key == "next-board-after-finish")
    return setCount(key, value, m.nextBoardAfterFinishMs, error);  // 0: never
  else if (key == "appear-at" || key == "leave-at") {
    uint32_t ms = 0;
    if (!setCount(key, value, ms, error)) return false;
    (key == "appear-at" ? dev.appearAtMs : dev.leaveAtMs) = ms;
  } else if (key == "vanish-after-writes")
    return setCount(key, value, m.vanishAfterDataFrames, error);
  else if (key == "stall-after-writes")
    return setCount(key, value, m.stopTakingAfterDataFrames, error);
  else if (key == "fault") {
    DeviceFault fault;
    if (!parseSimFault(value, fault, error)) return false;
    m.faults.push_back(fault);
  } else {
    error = "unknown setting '" + key + "'";
    return false;
  }
  return true;
}

bool applySimSettingsText(const std::string& text, SimOptions& options, std::string& error) {
  std::istringstream in(text);
  std::string raw;
  int lineNumber = 0;
  while (std::getline(in, raw)) {
    ++lineNumber;
    std::string line = trim(raw);
    if (line.empty() || line[0] == '#') continue;
    size_t split = line.find_first_of("= \t");
    std::string key = trim(line.substr(0, split));
    std::string value;
    if (split != std::string::npos) {
      value = line.substr(split + 1);
      if (line[split] != '=') {
        // "key value" or "key = value"
        value = trim(value);
        if (!value.empty() && value[0] == '=') value = value.substr(1);
      }
      value = trim(value);
    }
    if (value.empty() && !simSettingIsFlag(key)) {
      error = "line " + std::to_string(lineNumber) + ": '" + key + "' needs a value";
      return false;
    }
    std::string why;
    if (!applySimSetting(key, value, options, why)) {
      error = "line " + std::to_string(lineNumber) + ": " + why;
      return false;
    }
  }
  return true;
}

bool parseSimArguments(int argc, const char* const* argv, SimOptions& options, std::string& error) {
  options = SimOptions{};
  options.devices.push_back(defaultSimDevice());
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (word == "-h") word = "--help";
    if (word.size() < 3 || word.compare(0, 2, "--") != 0) {
      error = "unexpected argument '" + word + "' (see --help)";
      return false;
    }
    std::string key = word.substr(2);
    std::string value;
    bool inlineValue = false;
    if (size_t eq = key.find('='); eq != std::string::npos) {
      value = key.substr(eq + 1);
      key = key.substr(0, eq);
      inlineValue = true;
    }
    if (!simSettingIsKnown(key)) {
      error = "unknown option --" + key + " (see --help)";
      return false;
    }
    if (!inlineValue && !simSettingIsFlag(key)) {
      if (i + 1 >= argc) {
        error = "--" + key + " needs a value";
        return false;
      }
      value = argv[++i];
    }
    if (key == "config") {
      std::string text;
      if (!readFile(value, text)) {
        error = "cannot read " + value;
        return false;
      }
      std::string why;
      if (!applySimSettingsText(text, options, why)) {
        error = value + ": " + why;
        return false;
      }
      continue;
    }
    if (!applySimSetting(key, value, options, error)) return false;
  }
  return true;
}

bool checkSimOptions(const SimOptions& options, SimTransport transport, std::string& error) {
  for (const SimDeviceOptions& device : options.devices) {
    if (transport == SimTransport::kUhid && device.noOutEndpoint) {
      error = "--no-out-endpoint: a uhid device has no endpoints (tavrin-gadget-sim has)";
      return false;
    }
    if (transport == SimTransport::kGadget &&
        device.keyboard != SimDeviceOptions::Keyboard::kNone) {
      error = "--keyboard-collection: a gadget has one collection (tavrin-uhid-sim can add one)";
      return false;
    }
  }
  return true;
}

std::string simHelpText(SimTransport transport) {
  const bool gadget = transport == SimTransport::kGadget;
  std::string text;
  if (gadget)
    text +=
        "Usage: tavrin-gadget-sim [option...]\n"
        "\n"
        "Serves one or more simulated firmware-update devices as USB devices: each is a\n"
        "configfs gadget with one HID function on its own dummy_hcd controller, so that\n"
        "tavrin meets it through usbhid, with interrupt endpoints, a USB port and a real\n"
        "disconnect when the device restarts. Needs root, configfs mounted on\n"
        "/sys/kernel/config, and the modules libcomposite, usb_f_hid and dummy_hcd (with\n"
        "num=N for N devices).\n";
  else
    text +=
        "Usage: tavrin-uhid-sim [option...]\n"
        "\n"
        "Serves one or more simulated firmware-update devices through /dev/uhid, so that\n"
        "tavrin (or your own scripts around it) can be run against the kernel's hidraw\n"
        "driver without hardware. Needs access to /dev/uhid (usually root).\n";
  text +=
      "Each option --key VALUE can also be a line \"key = VALUE\" in a --config file.\n"
      "\n"
      "Device (applies to the current device):\n"
      "  --app-vid HEX, --app-pid HEX    ids in application mode (abcd, 1234)\n"
      "  --boot-vid HEX, --boot-pid HEX  ids in bootloader mode (abcd, 1000)\n"
      "  --model TEXT                    model string, at most 10 characters (TVR-100)\n"
      "  --boot-model TEXT               the model the bootloader reports (the same)\n"
      "  --version TEXT                  firmware version string, at most 20 (1.0.0)\n"
      "  --name TEXT                     HID product string\n";
  if (gadget)
    text +=
        "  --port PORT                     the USB port to plug into (\"2-1\": the port of\n"
        "                                  the dummy_hcd on bus 2; default: the next free)\n"
        "  --serial TEXT                   USB serial number (default SIM0001, ...)\n"
        "  --no-out-endpoint               no interrupt OUT endpoint: output reports come\n"
        "                                  as SET_REPORT control requests\n";
  else
    text +=
        "  --port TEXT                     where it is plugged in (HID_PHYS TEXT/input0;\n"
        "                                  default sim-INDEX, counted from 0)\n"
        "  --serial TEXT                   serial number (HID_UNIQ; default SIM0001, ...)\n"
        "  --keyboard-collection before|after\n"
        "                                  a keyboard collection (report id 1) besides the\n"
        "                                  device's own, before or after it\n";
  text +=
      "  --start-mode application|bootloader\n"
      "  --protocol-version N            GetInfo protocol version (1)\n"
      "  --capability-mask HEX           GetInfo capability mask (01)\n"
      "  --set-protocol-result HEX       SetProtocol result byte (00)\n"
      "  --verify crc|pass|fail          how Verify answers (crc: check the stored image)\n"
      "  --switch-delay-ms N             restart time into the bootloader (1500)\n"
      "  --never-return                  after the switch the device never comes back\n"
      "  --vanish-after-writes N         disappear after answering N WriteData frames\n"
      "  --stall-after-writes N          take no output report after answering N WriteData\n"
      "                                  frames (a USB device refuses them on its endpoint)\n"
      "  --fault KIND:CMD:FIRST[:COUNT[:DELAY_MS]]\n"
      "                                  KIND no-answer, late, wrong-marker, wrong-echo or\n"
      "                                  garbage, for frames FIRST..FIRST+COUNT-1 (from 1,\n"
      "                                  counted per command; COUNT 0: all from FIRST) of\n"
      "                                  command CMD (hex); late needs DELAY_MS.\n"
      "                                  Example: --fault no-answer:64:10:3\n"
      "  --restart-after-finish VERSION  after the finish it restarts into its application\n"
      "                                  and reports VERSION, as a real device does\n"
      "  --next-board-after-finish MS    after the finish the board is taken out and MS\n"
      "                                  later a fresh one (serial -2, -3, ...) is put in\n"
      "  --appear-at MS, --leave-at MS   plugged in, pulled out, MS after the start\n"
      "  --next-device                   start a further device, a copy of the current one\n"
      "\n"
      "Run:\n"
      "  --config FILE                   read settings from FILE\n"
      "  --frame-log FILE                log every received frame: DEVICE MODE HEX\n"
      "  --image-out FILE                at exit, write the image bytes the first device\n"
      "                                  received (further devices: FILE.1, FILE.2, ...)\n"
      "  --ready-file FILE               write the hidraw node names once they exist\n"
      "  --stats-file FILE               at exit, write timing of the WriteData stream\n"
      "  --lifetime SECONDS              exit after this long (600; 0: until a signal)\n"
      "  --answer-delay-ms N             every answer takes N ms on its way, as on a wire\n"
      "  --interval-ms N                 the host polls for answers every N ms, as for an\n"
      "                                  interrupt IN endpoint: an answer waits for the\n"
      "                                  next poll (0, the default: it does not wait)\n"
      "  --verbose                       report device events on standard error\n"
      "  --help                          this text\n"
      "\n"
      "Exits 0 on SIGTERM, SIGINT or the end of its lifetime, 1 on errors, 2 on bad options.\n";
  return text;
}
