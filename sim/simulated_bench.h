// The simulated devices of a dry run (--simulate, the library's simulated
// mode): the real flow without hardware.
#pragma once

#include <cstdint>
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
/// serials SIM0001, SIM0002, ...
void plugInSimulatedBench(SimulatedPlatform& platform, const DeviceIds& ids,
                          const std::string& model, uint32_t count);
