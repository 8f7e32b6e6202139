// The simulated devices' host: between the device models and whatever carries
// their reports (a virtual HID platform in the process, or the kernel through
// /dev/uhid). It owns everything both carriers must agree on: when an answer
// leaves, the order answers leave in, and a device vanishing and coming back
// under its bootloader ids. It has no clock and does no I/O beyond the frame
// log: callers pass the time in.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <utility>
#include <string>
#include <vector>

#include "sim/device_model.h"

/// What a carrier needs to present one appearance of a device.
struct SimIdentity {
  std::string name;    ///< HID product string
  std::string port;    ///< where it is plugged in; the same for every appearance
  std::string serial;  ///< HID_UNIQ; unless chosen, unique per appearance
  uint16_t vendorId = 0;
  uint16_t productId = 0;
};

/// The carrier of a host's devices, told about every appearance by index.
class SimDriver {
 public:
  virtual ~SimDriver() = default;
  /// Presents a new appearance of device `index`; false when it cannot.
  virtual bool createDevice(size_t index, const SimIdentity& identity) = 0;
  /// Removes the current appearance of device `index`.
  virtual void destroyDevice(size_t index) = 0;
  /// Delivers one input report of device `index` to the host side.
  virtual void sendInput(size_t index, const Report& report) = 0;
  /// Device `index` takes no further output report: a carrier that can
  /// refuse them (a USB endpoint) does so; the host ignores them anyway.
  virtual void stopTaking(size_t /*index*/) {}
};

class SimHost {
 public:
  explicit SimHost(SimDriver& driver) : driver_(driver) {}

  /// Every received frame is logged as "INDEX MODE HEX" (null: no log).
  void setFrameLog(FILE* log) { frameLog_ = log; }
  /// Time every answer spends on the wire after it leaves the device.
  void setAnswerLatencyUs(int64_t us) { latencyUs_ = us; }
  /// The host polls the devices' interrupt IN endpoints every `us`: an
  /// answer arrives at the first poll (a multiple of `us` on the callers'
  /// clock) once it is off the wire. 0: as soon as it is off the wire.
  void setPollIntervalUs(int64_t us) { pollIntervalUs_ = us; }

  /// Adds a device and presents it at once; returns its index. present() is
  /// false afterwards when the driver refused it. An empty port becomes
  /// "sim-INDEX", an empty serial "SIM0001" for index 0 and so on; both stay
  /// the same through restarts, as a real device's port does. With
  /// appearAtUs (on the callers' clock) it is plugged in only then.
  size_t addDevice(const DeviceModelConfig& config, const std::string& name,
                   const std::string& port = "", const std::string& serial = "",
                   int64_t appearAtUs = -1);
  /// Removes a device for good, as if its cable were pulled.
  void unplug(size_t index);
  /// Unplugs it at atUs, whatever it is doing then.
  void scheduleUnplug(size_t index, int64_t atUs);

  /// One output report for device `index`: logged, handed to its model, its
  /// answer queued, and the device restarted or removed if the model says so.
  void receive(size_t index, const uint8_t* data, size_t size, int64_t nowUs);
  /// How long after it is sent device `index` takes this output report: 0 at
  /// once, kNeverTaken when it takes no report any more. A carrier that holds
  /// a report until the device takes it (USB) asks before receive().
  static constexpr int64_t kNeverTaken = -1;
  int64_t holdUs(size_t index, const uint8_t* data, size_t size) const;

  /// One output report a device acted on, and when its answer arrived.
  struct TakenFrame {
    Report frame;
    int64_t takenUs = 0;
    int64_t answerUs = -1;  ///< arrival of its first input report; -1: none
    size_t imageBytes = 0;  ///< the model's stored image after it
  };
  /// Keep a TakenFrame for every frame from now on (off: none are kept).
  void setRecordFrames(bool record) { recordFrames_ = record; }
  const std::vector<TakenFrame>& takenFrames(size_t index) const { return devices_[index]->taken; }
  /// Delivers the answers whose time has come and presents the devices whose
  /// restart is over.
  void advance(int64_t nowUs);
  /// Earliest time advance() has work, or -1.
  int64_t nextDueUs() const;
  /// Runs advance(nowUs) and says how long a real-time driver may then wait
  /// for the system: `maxWaitMs`, or less when the host has work due sooner.
  int advanceAndWaitMs(int64_t nowUs, int maxWaitMs);

  size_t deviceCount() const { return devices_.size(); }
  /// True while the device is presented.
  bool present(size_t index) const { return devices_[index]->present; }
  const std::string& port(size_t index) const { return devices_[index]->port; }
  const std::string& serial(size_t index) const { return devices_[index]->serial; }
  DeviceModel& model(size_t index) { return *devices_[index]->model; }
  const DeviceModel& model(size_t index) const { return *devices_[index]->model; }

  /// "device I data-frames N span-us S per-exchange-us P best-window-us B" per
  /// device: the time from the first to the last CmdWriteData received, and
  /// per exchange in the fastest run of kStatsWindow of them (0 when there was
  /// none), which a machine busy with other work for a while spoils less;
  /// then "stopped-taking-us T" when the device stopped taking reports at T.
  static constexpr uint64_t kStatsWindow = 256;
  std::string statsText() const;
  /// "arrival I first-report-us U" per board plugged in (or put in its
  /// place) while the host ran, that was sent a report: how long the host
  /// side took to find it.
  std::string arrivalsText() const;
  /// Writes the first device's stored image to path (even when empty) and
  /// every further non-empty one to path.I. False when a write failed.
  bool writeImages(const std::string& path) const;

 private:
  // An answer on its way: it leaves the device at leaveUs (a device with one
  // loop sends its answers in the order the requests came) and reaches the
  // host latencyUs later.
  static constexpr size_t kNoFrame = static_cast<size_t>(-1);
  struct Pending {
    int64_t leaveUs;
    int64_t arriveUs;
    Report report;
    size_t taken = kNoFrame;  ///< the TakenFrame it answers, when recorded
  };
  struct Device {
    std::string name;
    std::string port;
    std::string serial;
    std::unique_ptr<DeviceModel> model;
    bool present = false;
    bool taking = true;  ///< false once the model stopped taking output reports
    uint32_t generation = 0;
    int64_t recreateAtUs = -1;
    int64_t unplugAtUs = -1;
    bool freshBoard = false;    ///< the next appearance is a board just put in
    int64_t freshSinceUs = -1;  ///< when that board appeared, until its first report
    uint32_t boards = 1;        ///< boards put in on its port so far
    std::deque<Pending> pending;
    std::vector<Report> behindNext;     ///< answers that leave behind the next one
    size_t behindNextFrame = kNoFrame;  ///< their TakenFrame
    std::vector<TakenFrame> taken;
    int64_t stoppedTakingUs = -1;
    uint64_t dataFrames = 0;
    int64_t firstDataUs = 0;
    int64_t lastDataUs = 0;
    int64_t windowStartUs = 0;  ///< first frame of the current window
    int64_t bestWindowUs = -1;  ///< shortest whole window so far (-1: none yet)
  };
  bool show(Device& device, size_t index);
  void takeDown(Device& device, size_t index, int64_t nowUs);
  void logFrame(size_t index, const uint8_t* data, size_t size);

  SimDriver& driver_;
  FILE* frameLog_ = nullptr;
  int64_t arrivalUs(int64_t leaveUs) const;

  void deliver(size_t index, const Pending& pending, int64_t atUs);

  bool recordFrames_ = false;
  int64_t latencyUs_ = 0;
  int64_t pollIntervalUs_ = 0;
  std::vector<std::unique_ptr<Device>> devices_;
  std::vector<std::pair<size_t, int64_t>> arrivals_;  ///< device, first-report delay
};
