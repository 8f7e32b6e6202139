#pragma once
// One virtual HID device on /dev/uhid: the kernel side of the simulator.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

/// Identity and descriptor of a device created through uhid.
struct UhidIdentity {
  std::string name;  ///< product string (HID_NAME)
  std::string phys;  ///< physical path (HID_PHYS): where it is plugged in
  std::string uniq;  ///< serial (HID_UNIQ)
  uint16_t vendor = 0;
  uint16_t product = 0;
  uint16_t version = 0x0100;
  std::vector<uint8_t> descriptor;
};

/// What one read of the uhid node delivered.
enum class UhidEventKind { kNone, kStart, kStop, kOpen, kClose, kOutput, kOther, kFailed };

struct UhidEvent {
  UhidEventKind kind = UhidEventKind::kNone;
  std::vector<uint8_t> data;  ///< the output report, report id first (kOutput only)
};

/// Report descriptor of the bootloader interface: usage page 0x8C, usage 0x01,
/// application collection, input report 0xB1 and output report 0xB2 of 32
/// data bytes each.
std::vector<uint8_t> bootloaderReportDescriptor();

/// A keyboard collection with report id 1 that never reports: the other half
/// of a scanner that is also a keyboard.
std::vector<uint8_t> keyboardReportDescriptor();

/// A uhid device; the node given to createOn() is closed by destroy() or
/// the destructor, so the kernel removes the device on every way out.
class UhidDevice {
 public:
  UhidDevice() = default;
  ~UhidDevice();
  UhidDevice(const UhidDevice&) = delete;
  UhidDevice& operator=(const UhidDevice&) = delete;

  /// Takes ownership of the open uhid node fd and sends UHID_CREATE2 on it.
  /// False with `error` set (and fd closed) on failure.
  bool createOn(int fd, const UhidIdentity& identity, std::string& error);
  /// Sends UHID_DESTROY and closes the node; harmless when not created.
  void destroy();
  bool created() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  /// Reads one event; call when fd() is readable.
  UhidEvent readEvent();
  /// Sends one input report (report id first) with UHID_INPUT2.
  bool sendInput(const uint8_t* data, size_t size);

 private:
  bool writeEvent(const void* event, size_t size);
  void answerReportRequest(uint32_t type, uint32_t id);
  int fd_ = -1;
};

/// Finds the hidraw node ("hidraw3") whose HID device carries `uniq` and
/// `phys`, looking under `sysfsRoot`/class/hidraw. Empty when there is none yet.
std::string findHidrawNode(const std::string& uniq, const std::string& phys,
                           const std::string& sysfsRoot = "/sys");
