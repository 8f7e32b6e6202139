// Ctrl-C and termination requests during an update.
#pragma once

#include "update/stop_request.h"

/// While one is alive, the first SIGINT or SIGTERM (Ctrl-C or Ctrl-Break on
/// Windows) asks `stop` to stop instead of ending the process, so that the
/// updates stop between two exchanges and say where they left their devices.
/// A second one ends the process at once, after one line that says where the
/// device is left (bootIdsGiven: -bv and -bp were named, so the same command
/// finishes an update whose device waits in its bootloader). One guard at a
/// time.
class InterruptGuard {
 public:
  InterruptGuard(StopRequest& stop, bool bootIdsGiven);
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;
};
