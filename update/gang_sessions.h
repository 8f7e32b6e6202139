// Several devices updated at once (--all, the library's run of every
// device): one survey of the devices that pass the filter with one version
// request each (the one a single update of it would send before its state
// machine), then a session per device of the file's model, each on a thread
// of its own and bound to the device's port, sharing the image read-only.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "update/update_session.h"

/// One device that passed the filter, and how its part of the run went.
struct GangUnit {
  std::string port;
  std::string serial;
  std::string versionBefore;
  /// Of the file's model: it had a session.
  bool target = false;
  UpdateResult result;
  /// Wall time of its session; 0 without one.
  double seconds = 0;
};

/// Follows the units of a run.
class GangObserver {
 public:
  virtual ~GangObserver() = default;
  /// The listener of unit index, made when the survey lists its device; it
  /// must live until the run ends. Sessions of different units call theirs
  /// from different threads at once.
  virtual SessionListener& unitListener(size_t index, const HidDevice& device) = 0;
  /// The unit's exchange listener; null: nobody.
  virtual ExchangeListener* unitExchanges(size_t /*index*/) { return nullptr; }
};

/// What a run works with.
struct GangSetup {
  /// What every session shares, borrowed as by runUpdateSession: each
  /// session's filter takes its device's port, and its listeners are the
  /// observer's. This listener hears what concerns no one device (null:
  /// nobody); the exchanges listener is not used.
  UpdateSetup session;
  /// At most this many sessions at a time; 0: all at once.
  size_t jobs = 0;
  /// When not 0, the number of devices of the file's model the survey must
  /// find: otherwise the run ends before any switch with kDeviceCount.
  size_t expectedTargets = 0;
};

/// Runs the survey and the sessions and returns the units in listing order.
/// Every unit's end reaches its listener's finished(), with or without a
/// session: a device that did not answer is kNoAnswer, one of another model
/// kWrongModel, one without a port among several targets kNoDevice. When no
/// device passes the filter, says so as the single update does and returns
/// no unit; when none is of the file's model (and none lacked a port), says
/// "Device not connected\n" to setup.listener with a kWrongModel result;
/// when their number is not setup.expectedTargets, says how many it found
/// with a kDeviceCount result, runs no session and returns no unit.
std::vector<GangUnit> runGangSessions(const GangSetup& setup, GangObserver& observer);
