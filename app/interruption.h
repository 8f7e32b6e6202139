// Ctrl-C and termination requests during an update.
#pragma once

#include "update/stop_request.h"

/// While one is alive, the first SIGINT or SIGTERM (Ctrl-C or Ctrl-Break on
/// Windows) asks `stop` to stop instead of ending the process, so that the
/// updates stop between two exchanges and say where they left their devices.
/// A second one ends the process at once. One guard at a time.
class InterruptGuard {
 public:
  explicit InterruptGuard(StopRequest& stop);
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;
};
