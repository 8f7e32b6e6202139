// An in-process HidPlatform that hosts DeviceModel devices on a virtual clock.
//
// Used by the unit tests and by the --simulate dry run. Nothing here blocks:
// sleeping and waiting advance the clock instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "hid/device_model.h"
#include "hid/hid_platform.h"

class SimulatedPlatform : public HidPlatform {
 public:
  SimulatedPlatform() = default;
  ~SimulatedPlatform() override;

  /// Plugs in a device; returns its id. Its first path is "sim/<id>/0", or
  /// path when given. A device that starts in bootloader mode shows the boot
  /// ids, else the application ids.
  size_t addDevice(const DeviceModelConfig& config, const std::string& path = "");
  /// Plugs in an interface that is not a DeviceModel (it never answers), e.g.
  /// a keyboard or a device of another kind. Returns its id.
  size_t addForeignInterface(const std::string& path, uint16_t vendorId, uint16_t productId,
                             uint16_t usagePage, uint16_t usage);
  /// Unplugs a device; its open connections fail from now on.
  void removeDevice(size_t id);
  /// The model of a device added with addDevice.
  DeviceModel& model(size_t id);
  /// Its current path, empty while it is not present.
  std::string currentPath(size_t id) const;
  /// Frames received by a device (its model's log).
  const std::vector<Report>& frameLog(size_t id);

  /// Virtual milliseconds that every answer takes on top of the model's delay.
  void setExchangeLatencyMs(uint32_t ms) { latencyMs_ = ms; }
  /// Opening the device fails with error (kHidOpenOk to allow again). forIoOnly
  /// makes only the second, transfer open fail.
  void setOpenError(size_t id, HidOpenError error, bool forIoOnly = false);
  /// Number of exchanges served so far (writes taken).
  uint64_t writeCount() const { return writes_; }

  bool enumerateInterfaces(std::vector<std::string>* paths) override;
  bool isPresent(const std::string& path) override;
  std::unique_ptr<HidConnection> open(const std::string& path, bool forIo,
                                      HidOpenError* error) override;
  bool describe(const std::string& path, HidInterfaceInfo* info) override;
  const char* permissionAdvice() const override { return "allow access to the simulated device"; }
  int64_t monotonicMilliseconds() override { return now_; }
  void sleepMilliseconds(uint32_t ms) override { now_ += ms; }

  /// Advances the virtual clock.
  void advance(int64_t ms) { now_ += ms; }

  struct PendingReport {
    int64_t arrival;
    uint32_t generation;  ///< the appearance of the device that sent it
    Report report;
  };
  struct Slot;

 private:
  friend class SimulatedConnection;
  Slot* findPresent(const std::string& path);
  void settle();

  std::vector<std::unique_ptr<Slot>> slots_;
  int64_t now_ = 0;
  uint32_t latencyMs_ = 0;
  uint64_t writes_ = 0;
};

/// One hosted device or interface. Public so the connection can reach it.
struct SimulatedPlatform::Slot {
  std::unique_ptr<DeviceModel> model;  ///< null for a foreign interface
  std::string path;
  uint32_t generation = 0;  ///< bumped on every re-enumeration
  bool present = true;
  int64_t appearAt = 0;  ///< a re-enumerating device shows from here on
  bool reenumerating = false;
  uint16_t vendorId = 0, productId = 0, usagePage = 0, usage = 0;  ///< foreign only
  HidOpenError openError = kHidOpenOk;
  bool openErrorForIoOnly = false;
  std::deque<PendingReport> queue;  ///< input reports on their way to the host, by arrival
};
