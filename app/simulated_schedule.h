// The boards of a simulated station (--simulate-schedule): plugged into and
// pulled from the simulated platform on its virtual clock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hid/device_filter.h"
#include "image/firmware_info.h"

class SimulatedPlatform;

/// One event of a --simulate-schedule: at atMs on the virtual clock a board
/// is plugged into port (plug) or the board last plugged there is pulled.
struct ScheduledEvent {
  int64_t atMs = 0;
  bool plug = true;
  std::string port;
  std::string serial;      ///< "serial=S"; unset: SIM0001, SIM0002, ... by plug order
  bool serialSet = false;
  bool bootloader = false;      ///< "boot": it starts in its bootloader
  bool restart = true;          ///< off with "stay": no restart after the finish
  uint32_t vanishAfter = 0;     ///< "vanish=N": gone after N write requests
  uint32_t verifyFailures = 0;  ///< "verify-fails=N": its first N verifies fail
  std::string version;          ///< "version=V": what it reports before the update
};

/// Parses a schedule: events separated by spaces or ';', each "MS+PORT" with
/// options after '/' ("0+a/serial=A1/boot") or "MS-PORT". False with
/// *problem set when it is malformed.
bool parseSimulatedSchedule(const std::string& text, std::vector<ScheduledEvent>* events,
                            std::string* problem);

/// Plugs and pulls simulated boards of the file's model as the schedule says.
/// A board restarts into its application firmware after the finish and then
/// reports the file's version (unless "stay"). The schedule must parse.
void applySimulatedSchedule(SimulatedPlatform& platform, const DeviceIds& ids,
                            const FirmwareInfo& info, const std::string& schedule);
