#pragma once
// The simulator's logic between the device models and the kernel: frame log,
// answer timing, re-enumeration and vanishing, results. No I/O of its own
// beyond the frame log, and no clock: callers pass the time in.

#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "hid/device_model.h"
#include "tools/sim_options.h"
#include "tools/uhid_device.h"

/// What the host needs from the kernel side, per device index: uhid in the
/// tool, a recorder in the tests.
class SimKernel {
 public:
  virtual ~SimKernel() = default;
  virtual bool createDevice(size_t index, const UhidIdentity& identity) = 0;
  virtual void destroyDevice(size_t index) = 0;
  virtual void sendInput(size_t index, const Report& report) = 0;
};

class SimHost {
 public:
  /// uniqPrefix makes the devices' serials unique on the machine (the tool
  /// uses its process id). frameLog may be null.
  SimHost(const SimOptions& options, SimKernel& kernel, std::string uniqPrefix, FILE* frameLog);

  /// Creates every device; false when the kernel refused one.
  bool start(int64_t nowUs);
  /// One output report from device `index`: logged, handed to its model,
  /// answered now or later, and the device restarted or removed if the model
  /// says so.
  void receive(size_t index, const uint8_t* data, size_t size, int64_t nowUs);
  /// Sends the answers that are due and re-creates the devices whose restart
  /// time has come.
  void advance(int64_t nowUs);
  /// Earliest time advance() has work, or -1.
  int64_t nextDueUs() const;

  size_t deviceCount() const { return devices_.size(); }
  /// True while the device exists in the kernel.
  bool present(size_t index) const { return devices_[index]->present; }
  /// Serial of the device's current incarnation (changes on every restart).
  std::string uniq(size_t index) const;
  const DeviceModel& model(size_t index) const { return *devices_[index]->model; }

  /// "device I data-frames N span-us S per-exchange-us P" per device: the
  /// time from the first to the last CmdWriteData received.
  std::string statsText() const;
  /// Writes the first device's stored image to path (even when empty) and
  /// every further non-empty one to path.I. False when a write failed.
  bool writeImages(const std::string& path) const;

 private:
  struct Pending {
    int64_t dueUs;
    Report report;
  };
  struct Device {
    std::string name;
    std::unique_ptr<DeviceModel> model;
    bool present = false;
    uint32_t generation = 0;
    int64_t recreateAtUs = -1;
    std::deque<Pending> pending;
    uint64_t dataFrames = 0;
    int64_t firstDataUs = 0;
    int64_t lastDataUs = 0;
  };
  bool create(size_t index);
  void logFrame(size_t index, const uint8_t* data, size_t size);

  SimKernel& kernel_;
  std::string uniqPrefix_;
  FILE* frameLog_;
  std::vector<std::unique_ptr<Device>> devices_;
};
