#pragma once
// Settings of the device simulators (uhid and USB gadget), from their command
// line and from key=value files. Every command-line option --key VALUE is also
// a file line "key = VALUE", so a scenario can keep its device in a small file.

#include <cstdint>
#include <string>
#include <vector>

#include "sim/device_model.h"

/// What carries the simulated devices to the kernel.
enum class SimTransport : uint8_t {
  kUhid,    ///< /dev/uhid: HID devices without a bus below them
  kGadget,  ///< USB gadgets on dummy_hcd: usbhid, endpoints, real disconnects
};

/// One simulated device: the model it serves and its HID product string.
struct SimDeviceOptions {
  DeviceModelConfig model;
  std::string name = "tavrin simulated device";
  std::string port;            ///< empty: sim-INDEX (uhid), the next free controller's (gadget)
  std::string serial;          ///< empty: SIM0001 for the first device, and so on
  bool noOutEndpoint = false;  ///< gadget: output reports come as SET_REPORT requests
  /// A keyboard collection besides the device's own, as a scanner with a
  /// keyboard half has: none, before or after it in the report descriptor.
  enum class Keyboard : uint8_t { kNone, kBefore, kAfter } keyboard = Keyboard::kNone;
  int64_t appearAtMs = -1;  ///< plugged in this long after the start (-1: at once)
  int64_t leaveAtMs = -1;   ///< pulled out this long after the start (-1: never)
};

struct SimOptions {
  std::vector<SimDeviceOptions> devices;  ///< at least one after parsing
  std::string frameLog;                   ///< one hex line per received output report
  std::string imageOut;                   ///< bytes the first device stored, written at exit
  std::string readyFile;                  ///< written once every device has its hidraw node
  std::string statsFile;                  ///< timing of the CmdWriteData stream, written at exit
  uint32_t lifetimeSeconds = 600;         ///< 0: until a signal
  uint32_t answerDelayMs = 0;             ///< time every answer spends on the wire
  uint32_t intervalMs = 0;                ///< the host polls for answers this often (0: at once)
  bool verbose = false;
  bool help = false;
};

/// Default settings of one device: ids abcd:1234 (application) and abcd:1000
/// (bootloader), model "TVR-100", version "1.0.0", application firmware.
SimDeviceOptions defaultSimDevice();

/// Applies one setting to options (to its last device for device settings).
/// value is ignored by the settings that take none. False with error set when
/// the key is unknown or the value malformed.
bool applySimSetting(const std::string& key, const std::string& value, SimOptions& options,
                     std::string& error);

/// True for the settings that take no value ("never-return", "next-device", ...).
bool simSettingIsFlag(const std::string& key);

/// True for every setting name, "config" included.
bool simSettingIsKnown(const std::string& key);

/// Every setting the transport's tool takes, "help" included.
std::vector<std::string> simSettingNames(SimTransport transport);

/// Applies every line of a settings file: "key = value" or "key value", "#"
/// comments, blank lines. error names the line number.
bool applySimSettingsText(const std::string& text, SimOptions& options, std::string& error);

/// Parses the command line (argv[0] skipped): --key VALUE, --key=VALUE,
/// --config FILE, flags. Starts from one default device.
bool parseSimArguments(int argc, const char* const* argv, SimOptions& options, std::string& error);

/// False with error set when the options ask for what the transport cannot do.
bool checkSimOptions(const SimOptions& options, SimTransport transport, std::string& error);

/// The --help text of the transport's tool.
std::string simHelpText(SimTransport transport = SimTransport::kUhid);

/// Parses "no-answer:64:3[:count[:delay]]" into a fault (command in hex).
bool parseSimFault(const std::string& text, DeviceFault& fault, std::string& error);
