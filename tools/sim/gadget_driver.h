// The simulated devices served as USB devices in real time. Each device is a
// configfs gadget with one HID function (f_hid), bound to a dummy_hcd
// controller of its own, so tavrin meets it through usbhid: input reports on
// an interrupt IN endpoint, output reports on an interrupt OUT endpoint or as
// SET_REPORT control requests, a USB port, and a real disconnect and
// enumeration when the device restarts into its bootloader.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "tools/sim/serve_loop.h"
#include "sim/sim_host.h"
#include "tools/sim/sim_options.h"

/// Where the kernel's interfaces are, and how long the host side may take to
/// notice a device come or go; tests point them into a tree of their own.
struct GadgetSystem {
  std::string configfs = "/sys/kernel/config";
  std::string sysfs = "/sys";
  std::string dev = "/dev";
  int64_t enumerationUs = 10000000;  ///< bound on a device's enumeration at start
  int64_t disconnectUs = 2000000;    ///< bound on the host's noticing an unbind
};

/// One dummy_hcd pair: the gadget side's controller and the port a device
/// bound to it has on the host side.
struct DummyController {
  std::string udc;   ///< "dummy_udc.0"
  std::string hcd;   ///< "dummy_hcd.0"
  std::string port;  ///< "1-1": the host controller's bus and its only port
};

/// The dummy_hcd controllers present, by number.
std::vector<DummyController> findDummyControllers(const std::string& sysfsRoot);

/// Opens the device node of a bound HID function, given the function's
/// configfs folder; returns the descriptor, or -1 with error set.
using GadgetNodeOpener = std::function<int(const std::string& functionDir, std::string& error)>;
/// Opens devRoot/hidgN, N being the function's minor.
GadgetNodeOpener gadgetNodeOpener(const std::string& devRoot);

class GadgetDriver : public SimDriver, public ServedDevices {
 public:
  /// opener null: gadgetNodeOpener(paths.dev).
  explicit GadgetDriver(const SimOptions& options, GadgetSystem system = {},
                        GadgetNodeOpener opener = nullptr);
  /// Unbinds and removes every gadget it made.
  ~GadgetDriver() override;
  GadgetDriver(const GadgetDriver&) = delete;
  GadgetDriver& operator=(const GadgetDriver&) = delete;

  bool start() override;
  bool pump(int maxWaitMs, int extraFd = -1, bool* extraReady = nullptr) override;
  bool findNodes() override;
  const std::string& node(size_t index) const override { return nodes_[index]; }
  SimHost& host() override { return host_; }

  bool createDevice(size_t index, const SimIdentity& identity) override;
  void destroyDevice(size_t index) override;
  void sendInput(size_t index, const Report& report) override;
  void stopTaking(size_t index) override;

 private:
  struct Gadget {
    DummyController controller;
    std::string dir;  ///< its folder in configfs
    bool built = false;
    bool bound = false;
    bool taking = true;
    int fd = -1;                ///< the function's node while bound
    std::deque<Report> outbox;  ///< input reports the IN endpoint has not taken yet
  };
  bool build(Gadget& gadget, size_t index, std::string& error);
  void sendOutbox(Gadget& gadget, size_t index);
  void deliverOutbox(Gadget& gadget, size_t index);
  bool readReports(Gadget& gadget, size_t index);
  void unbind(Gadget& gadget);
  /// Waits (a bounded time) until the host has no node at the gadget's port.
  void waitForDisconnect(const Gadget& gadget) const;
  void say(const std::string& text) const;

  const SimOptions& options_;
  GadgetSystem system_;
  GadgetNodeOpener opener_;
  SimHost host_;
  std::vector<Gadget> gadgets_;
  std::vector<std::string> nodes_;
};

/// The gadget simulator tool: serves the devices of options until a signal
/// or the end of the lifetime. Returns the exit status.
int serveOverGadget(const SimOptions& options);
