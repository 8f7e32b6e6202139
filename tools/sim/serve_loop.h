// The simulator tools' main loop, whatever carries the devices to the kernel:
// it presents them, serves them until a signal or the end of the lifetime,
// and writes the results the options ask for.
#pragma once

#include <cstdint>
#include <string>

#include "sim/sim_host.h"
#include "tools/sim/sim_options.h"

/// What the loop needs of a carrier of simulated devices.
class ServedDevices {
 public:
  virtual ~ServedDevices() = default;
  /// Presents every device; false when the kernel refused one.
  virtual bool start() = 0;
  /// Delivers what is due, then waits at most maxWaitMs for the kernel, for
  /// the next due answer or restart, or for extraFd to become readable (then
  /// *extraReady is set), and handles what came. False once a node failed.
  virtual bool pump(int maxWaitMs, int extraFd = -1, bool* extraReady = nullptr) = 0;
  /// Looks up the hidraw nodes not known yet; true when every present device
  /// has one.
  virtual bool findNodes() = 0;
  /// The hidraw node name ("hidraw3") of a device, empty while unknown.
  virtual const std::string& node(size_t index) const = 0;
  virtual SimHost& host() = 0;
};

/// Serves devices with the options of tool (its name prefixes the messages)
/// and returns the exit status.
int serveSimulatedDevices(const SimOptions& options, ServedDevices& devices, const char* tool);

/// Microseconds of the steady clock.
int64_t steadyMicroseconds();
