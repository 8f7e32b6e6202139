// The simulated device behind --simulate: a dry run of the real flow without
// hardware.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "hid/device_filter.h"
#include "sim/device_model.h"

/// Model the simulated device reports when no firmware file names one.
constexpr const char* kSimulatedDefaultModel = "TVR-100";

/// A device of `model` in application mode under ids, whose
/// bootloader accepts protocol version 1, offers protocol bit 0 and checks the
/// image CRC on verify.
DeviceModelConfig simulatedDeviceConfig(const DeviceIds& ids, const std::string& model);

class SimulatedPlatform;

/// Plugs count such devices into platform, on ports sim-0, sim-1, ... with
/// serials SIM0001, SIM0002, ... Each runs the version statePath keeps for
/// its port, when it keeps one (--simulate-state).
void plugInSimulatedBench(SimulatedPlatform& platform, const DeviceIds& ids,
                          const std::string& model, uint32_t count,
                          const std::string& statePath = "");

/// --simulate-state: the firmware version of each simulated device, by port,
/// kept between runs in a file of "PORT VERSION" lines. A file that does not
/// exist keeps none; lines of another form are passed over.
std::map<std::string, std::string> readSimulatedState(const std::string& path);

/// Keeps version as the firmware of the device on port (after its update),
/// the others' as they are. False when the file cannot be written.
bool recordSimulatedVersion(const std::string& path, const std::string& port,
                            const std::string& version);
