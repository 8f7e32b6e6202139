// Ctrl-C and termination requests during an update.
#pragma once

/// While one is alive, the first SIGINT or SIGTERM (Ctrl-C or Ctrl-Break on
/// Windows) is noted instead of ending the process, so that the update stops
/// between two exchanges and says where it left the device. A second one
/// ends the process at once.
class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;
};

/// The signal noted since the living guard was made (SIGINT or SIGTERM), 0
/// when none or when no guard is alive.
int interruptSignal();
