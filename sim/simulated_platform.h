// The simulated devices inside the process, behind the HID seam, on a virtual
// clock: used by the unit tests and by the --simulate dry run. Nothing here
// blocks: sleeping and waiting move the clock instead (unless it is paced by
// real time). Safe to share between threads: sessions on several threads
// share one clock, and every call is made whole under one lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hid/hid_platform.h"
#include "sim/device_model.h"
#include "sim/sim_host.h"

class SimulatedPlatform : public HidPlatform, private SimDriver {
 public:
  SimulatedPlatform();
  ~SimulatedPlatform() override;

  /// Plugs in a device; returns its id. Its first path is "sim/<id>/0", or
  /// path when given; each restart gives it a new one. Its port is "sim-N"
  /// (N counting devices) and its serial "SIM0001" and so on, unless given.
  size_t addDevice(const DeviceModelConfig& config, const std::string& path = "",
                   const std::string& port = "", const std::string& serial = "");
  /// Plugs in an interface that is not a simulated device (it never answers),
  /// e.g. a keyboard or a device of another kind. Returns its id.
  size_t addForeignInterface(const std::string& path, uint16_t vendorId, uint16_t productId,
                             uint16_t usagePage, uint16_t usage);
  /// Unplugs a device for good; its open connections fail from now on.
  void removeDevice(size_t id);
  /// Plugs in a device as addDevice does, once the virtual clock reaches atMs.
  size_t schedulePlug(int64_t atMs, const DeviceModelConfig& config, const std::string& port = "",
                      const std::string& serial = "");
  /// Unplugs device id once the clock reaches atMs.
  void scheduleUnplug(int64_t atMs, size_t id);
  /// The model of a device added with addDevice.
  DeviceModel& model(size_t id);
  /// Its current path, empty while it is not present.
  std::string currentPath(size_t id);
  /// Frames received by a device (its model's log); read it while no
  /// session runs.
  const std::vector<Report>& frameLog(size_t id) { return model(id).receivedFrames(); }

  /// With real-time pacing the process really waits for every virtual
  /// millisecond that passes, so a dry run takes as long as a real one would.
  void setPacedByRealTime(bool paced) { paced_ = paced; }
  /// Off: describe() tells no port, as on a system that does not know one.
  void setReportsPorts(bool reports) { reportsPorts_ = reports; }
  /// Virtual milliseconds every answer spends on the wire.
  void setExchangeLatencyMs(uint32_t ms) { host_.setAnswerLatencyUs(int64_t{ms} * 1000); }
  /// A device that does not take an output report at once (a held-write
  /// fault, or one that stopped taking them) holds the write as USB does: it
  /// returns when the device takes the report, and fails once the system has
  /// waited ms for it (usbhid's five seconds by default).
  void setHeldWriteLimitMs(uint32_t ms) { heldWriteLimitUs_ = int64_t{ms} * 1000; }
  /// Writes that ended, or are still held, past writeReport's wait.
  struct HeldWriteCount {
    uint32_t held = 0;      ///< writes writeReport gave up on
    uint32_t behind = 0;    ///< writes that had to wait behind one of them
    int64_t lastEndUs = 0;  ///< when the last of them ended (or will)
  };
  HeldWriteCount heldWrites();
  /// The host, for what it records (SimHost::takenFrames).
  const SimHost& host() const { return host_; }
  void setRecordFrames(bool record) {
    Lock lock(mutex_);
    host_.setRecordFrames(record);
  }
  /// Opening the device fails with error (kHidOpenOk to allow again);
  /// transferOnly lets the identifying open through.
  void setOpenError(size_t id, HidOpenError error, bool transferOnly = false);

  bool enumerateInterfaces(std::vector<std::string>* paths) override;
  bool isPresent(const std::string& path) override;
  std::unique_ptr<HidConnection> open(const std::string& path, HidOpenPurpose purpose,
                                      HidOpenError* error, std::string* errorText) override;
  bool describe(const std::string& path, HidInterfaceInfo* info) override;
  const char* permissionAdvice() const override { return "allow access to the simulated device"; }
  int64_t monotonicMilliseconds() override;
  void sleepMilliseconds(uint32_t ms) override { advance(ms); }
  /// On the virtual clock: moves it to the next appearance or removal that
  /// is due within timeoutMs, or by timeoutMs. True when an interface came
  /// or went since the last call.
  bool waitForChange(uint32_t timeoutMs) override;
  const char* changeSource() const override { return "the virtual clock"; }

  /// Advances the virtual clock.
  void advance(int64_t ms);

  struct Node;
  struct Inbox;
  struct HeldWrite;

 private:
  friend class SimulatedConnection;
  bool createDevice(size_t index, const SimIdentity& identity) override;
  void destroyDevice(size_t index) override;
  void sendInput(size_t index, const Report& report) override;

  using Lock = std::unique_lock<std::mutex>;
  // Below, lock is held: it is let go only while paced time passes.
  /// Moves the virtual clock forward to us.
  void moveClockTo(int64_t us, Lock& lock);
  /// Lets the host catch up with the clock: the held writes whose time has
  /// come end, in their order, between the host's own events.
  void settle();
  /// The earliest time anything is due (the host's work or the end of a held
  /// write), or -1.
  int64_t nextDueUs() const;
  /// Waits on the virtual clock until write has ended or deadlineUs passes.
  void waitForHeldWrite(const HeldWrite& write, int64_t deadlineUs, Lock& lock);
  void endHeldWrite(HeldWrite& write, int64_t atUs);
  Node* findPresent(const std::string& path);
  Node* nodeOf(size_t hostIndex);
  /// Waits on the virtual clock until something is due or deadlineUs passes;
  /// false when nothing was due in time (the clock then stands at the deadline).
  bool waitForHost(int64_t deadlineUs, Lock& lock);

  std::mutex mutex_;
  SimHost host_;
  std::vector<std::unique_ptr<Node>> nodes_;
  std::vector<std::shared_ptr<HeldWrite>> heldWrites_;  ///< not ended yet
  HeldWriteCount heldCount_;
  int64_t heldWriteLimitUs_ = 5000 * 1000;
  int64_t nowUs_ = 0;
  uint64_t changes_ = 0;      ///< interfaces that came or went
  uint64_t seenChanges_ = 0;  ///< as many as waitForChange has told of
  bool paced_ = false;
  bool reportsPorts_ = true;
};
