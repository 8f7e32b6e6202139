// The simulated devices served through /dev/uhid in real time, so that tavrin
// meets them as real hidraw nodes of the kernel's HID stack.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/sim/serve_loop.h"
#include "sim/sim_host.h"
#include "tools/sim/sim_options.h"
#include "tools/sim/uhid_device.h"

/// Opens a fresh uhid node and returns its descriptor, or -1 with error set.
using UhidNodeOpener = std::function<int(std::string& error)>;
/// Opens /dev/uhid.
int openUhidNode(std::string& error);

class UhidDriver : public SimDriver, public ServedDevices {
 public:
  explicit UhidDriver(const SimOptions& options, UhidNodeOpener opener = openUhidNode);

  bool start() override;
  bool pump(int maxWaitMs, int extraFd = -1, bool* extraReady = nullptr) override;
  bool findNodes() override;
  const std::string& node(size_t index) const override { return nodes_[index]; }
  SimHost& host() override { return host_; }

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

/// The uhid simulator tool: serves the devices of options until a signal or
/// the end of the lifetime. Returns the exit status.
int serveOverUhid(const SimOptions& options);
