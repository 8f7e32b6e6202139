// The simulated devices served through /dev/uhid in real time, so that tavrin
// meets them as real hidraw nodes of the kernel's HID stack.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/sim_host.h"
#include "sim/sim_options.h"
#include "sim/uhid_device.h"

/// Opens a fresh uhid node and returns its descriptor, or -1 with error set.
using UhidNodeOpener = std::function<int(std::string& error)>;
/// Opens /dev/uhid.
int openUhidNode(std::string& error);

class UhidDriver : public SimDriver {
 public:
  explicit UhidDriver(const SimOptions& options, UhidNodeOpener opener = openUhidNode);

  /// Presents every device; false when the kernel refused one.
  bool start();
  /// Delivers what is due, then waits at most maxWaitMs for the kernel, for
  /// the next due answer or restart, or for extraFd to become readable (then
  /// *extraReady is set), and handles what came. False once a node failed.
  bool pump(int maxWaitMs, int extraFd = -1, bool* extraReady = nullptr);
  /// Looks up the hidraw nodes not known yet; true when every present device
  /// has one.
  bool findNodes();
  /// The hidraw node name ("hidraw3") of a device, empty while unknown.
  const std::string& node(size_t index) const { return nodes_[index]; }

  SimHost& host() { return host_; }

  bool createDevice(size_t index, const SimIdentity& identity) override;
  void destroyDevice(size_t index) override;
  void sendInput(size_t index, const Report& report) override;

 private:
  void say(const std::string& text) const;

  const SimOptions& options_;
  UhidNodeOpener opener_;
  SimHost host_;
  std::vector<UhidDevice> devices_;
  std::vector<std::string> nodes_;
};

/// The simulator tool: presents the devices, serves them until a signal or
/// the end of the lifetime, then writes the results the options ask for.
/// Returns the exit status.
int serveOverUhid(const SimOptions& options);

/// Microseconds of the steady clock.
int64_t steadyMicroseconds();
