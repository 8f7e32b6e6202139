// One unit of the station: the board on one port, from its first look to
// the end of its last attempt. Runs on a thread of its own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/station_rule.h"
#include "app/update_context.h"
#include "hid/hid_platform.h"
#include "image/firmware_info.h"
#include "update/stop_request.h"
#include "update/update_result.h"

class RunReport;
class StationView;

/// What every unit of a station shares; read-only while units run.
struct UnitShared {
  const UpdateContext* context = nullptr;  ///< the ids and the loaded image
  const FirmwareInfo* info = nullptr;
  HidPlatform* platform = nullptr;
  RunReport* report = nullptr;
  StationView* view = nullptr;
  StopRequest* stop = nullptr;
  /// The bootloader's ids were named: an interrupted unit is finished by the
  /// same command.
  bool bootIdsGiven = false;
  uint32_t retries = 0;  ///< further attempts after a failed one while the board stays
};

/// How a unit ended.
struct UnitOutcome {
  /// False when the board only came back (it reports the file's version) or
  /// left before it could be asked anything: no unit, no record.
  bool isUnit = true;
  UpdateResult result;  ///< of the last attempt
  uint32_t attempts = 0;
  std::string model;
  std::string serial;
  std::string versionBefore;
  /// What the board said of itself, for telling it when it comes back.
  PortMemory memory;
};

/// Runs the unit of the board on port: a session bound to the port, exactly as
/// a single update with --port sends it, and while the board stays after a
/// failure up to shared.retries more. askVersion: the board may be the last
/// unit's, which reports the file's version; then no session runs.
UnitOutcome runUnit(const UnitShared& shared, const std::string& port, bool askVersion);

/// One interface of the station's ids, as the watch sees it without opening it.
struct Sighting {
  std::string path;
  std::string port;
  std::string serial;
  DeviceMode mode = kModeNone;
};

/// Every present interface that matches ids (application or bootloader).
std::vector<Sighting> sightDevices(HidPlatform& platform, const DeviceIds& ids);
