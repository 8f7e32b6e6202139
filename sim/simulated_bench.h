// The simulated devices of a dry run (--simulate, the library's simulated
// mode): the real flow without hardware, which ends where a real run against
// such a device would.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "hid/device_filter.h"
#include "sim/device_model.h"

/// The words the command line gave for the ids (-dv, -dp, -bv, -bp), as they
/// stand; absent when the option was not given.
struct GivenIds {
  std::optional<std::string> appVid, appPid, bootVid, bootPid;
  /// Both bootloader ids were named: the same command can finish an update
  /// the bootloader was left waiting in.
  bool bootIds() const { return bootVid.has_value() && bootPid.has_value(); }
};

/// The devices of a dry run as the command line asks for them.
struct SimulatedBench {
  GivenIds given;
  uint32_t devices = 1;             ///< --simulate=N
  std::vector<std::string> faults;  ///< --simulate-fault, each as given
  /// --simulate-state: where each device's version is kept between runs.
  std::string statePath;
};

/// --simulate-state: the firmware version of each simulated device, by port,
/// kept between runs in a file of "PORT VERSION" lines. A file that does not
/// exist keeps none; lines of another form are passed over.
std::map<std::string, std::string> readSimulatedState(const std::string& path);

/// Keeps version as the firmware of the device on port (after its update),
/// the others' as they are. False when the file cannot be written.
bool recordSimulatedVersion(const std::string& path, const std::string& port,
                            const std::string& version);

/// Model the simulated device reports when no firmware file names one.
constexpr const char* kSimulatedDefaultModel = "TVR-100";

/// What --simulate-fault takes, for its messages and --help.
constexpr const char* kSimulatedFaultForms =
    "write-fail[:OFFSET], verify-fail, stall[:N], vanish[:N], never-return or "
    "wrong-boot-model, each with @sim-N for one device";

/// A fault --simulate-fault puts into the simulated devices: the faults the
/// uhid simulator serves, by name.
struct SimulatedFault {
  enum class Kind : uint8_t {
    kWriteFail,       ///< the chunk at `number` and all after it go unanswered
    kVerifyFail,      ///< the bootloader refuses the image
    kStall,           ///< takes no output report after answering `number` writes
    kVanish,          ///< disappears after answering `number` writes
    kNeverReturn,     ///< does not come back after the switch
    kWrongBootModel,  ///< the bootloader reports another model
  };
  Kind kind = Kind::kVerifyFail;
  uint32_t number = 0;
  /// The one device it concerns (sim-N), or empty: every device.
  std::string port;
};

/// Reads NAME[:NUMBER][@sim-N] (NUMBER decimal or 0x hex); false when it
/// names no fault.
bool parseSimulatedFault(const std::string& text, SimulatedFault* fault);

/// The ids the simulated devices report. An id is taken from the command
/// line where its word is well-formed hexadecimal (an optional 0x, digits
/// only), not zero and at most ffff. Otherwise the device has an id of its
/// own, which the value read from the word does not match: abcd (vendor),
/// 1234 (application product), 1000 (bootloader product), counted up past
/// that value (and, for the application's ids, past the bootloader's). So a
/// dry run without -bv/-bp ends in the switch's time-out and one with -dv xyz
/// finds no device, as a real run would.
DeviceIds simulatedDeviceIds(const GivenIds& given, const DeviceIds& read);

/// A device of `model` in application mode under ids, whose bootloader
/// accepts protocol version 1, offers protocol bit 0 and checks the image CRC
/// on verify.
DeviceModelConfig simulatedDeviceConfig(const DeviceIds& ids, const std::string& model);

/// Puts fault into config.
void applySimulatedFault(const SimulatedFault& fault, DeviceModelConfig& config);

class SimulatedPlatform;

/// Plugs in the devices of --simulate[=N] with the ids simulatedDeviceIds
/// gives for the bench's words and the ids `read` from them, of `model`, with
/// the faults of --simulate-fault, on ports sim-0, sim-1, ... with serials
/// SIM0001, SIM0002, ...
void plugInSimulatedBench(SimulatedPlatform& platform, const SimulatedBench& bench,
                          const DeviceIds& read, const std::string& model);

/// Plugs in count such devices under ids as they are, without faults.
void plugInSimulatedBench(SimulatedPlatform& platform, const DeviceIds& ids,
                          const std::string& model, uint32_t count);
