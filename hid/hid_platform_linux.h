// The hidraw backend: sysfs enumeration, I/O on /dev/hidrawN.
//
// Exposed (rather than hidden in the .cpp) so that tests can point it at a
// fake sysfs tree and drive a connection over a socketpair.
#pragma once

#include <memory>
#include <string>

#include "hid/hid_platform.h"
#include "hid/hidraw_writer.h"
#include "hid/uevent_monitor.h"
#include "protocol/frame_format.h"

class LinuxHidPlatform : public HidPlatform {
 public:
  /// sysfsRoot holds class/hidraw; devRoot holds the hidrawN nodes.
  explicit LinuxHidPlatform(std::string sysfsRoot = "/sys", std::string devRoot = "/dev");

  /// Interface paths are the sysfs device directories of the hidraw nodes
  /// (".../0003:ABCD:1234.0007/hidraw/hidraw2"), sorted by node number.
  bool enumerateInterfaces(std::vector<std::string>* paths) override;
  /// The sysfs directory still exists.
  bool isPresent(const std::string& path) override;
  std::unique_ptr<HidConnection> open(const std::string& path, HidOpenPurpose purpose,
                                      HidOpenError* error, std::string* errorText) override;
  /// Ids from the HID device's directory name, product (and, off USB, port
  /// and serial) from its uevent, a USB device's serial from the USB
  /// device's own attribute, collections from report_descriptor; no open.
  bool describe(const std::string& path, HidInterfaceInfo* info) override;
  const char* permissionAdvice() const override;
  int64_t monotonicMilliseconds() override;
  void sleepMilliseconds(uint32_t ms) override;
  /// Listens to the kernel's uevents for hidraw nodes; polls where it may
  /// not. The first call starts listening.
  bool waitForChange(uint32_t timeoutMs) override;
  const char* changeSource() const override {
    return monitor_.isOpen() ? "the kernel's uevents" : "polling";
  }

 private:
  std::string sysfsRoot_;
  std::string devRoot_;
  UeventMonitor monitor_;
  bool monitorTried_ = false;
};

/// Where a connection's writes happen.
enum class HidrawWrites : uint8_t {
  kInline,    ///< on the caller's thread: the kernel queues the report (uhid, Bluetooth)
  kByWriter,  ///< by a writer of the connection's own: the kernel may hold them (USB)
};

/// One open hidraw node. Takes ownership of fd. Any descriptor that keeps
/// message boundaries (a SOCK_SEQPACKET socket) can stand in for the node.
///
/// A write to a USB device's node returns only once the device has taken the
/// report, whatever O_NONBLOCK says: usbhid waits up to five seconds for the
/// interrupt OUT transfer or the SET_REPORT control transfer, and no signal
/// ends that wait. So there the writes are done by a writer of the
/// connection's own (HidrawWriter), and the caller waits for them no longer
/// than it was asked to. A write the wait gave up on stays in the kernel until
/// the kernel ends it: heldWrite() tells what became of it, and no further
/// report is written until it has ended. The destructor does not wait for
/// such a write, and neither does the end of the process: the writer is a
/// process of its own, which ends when the write does. (The kernel's hidraw
/// lets no node be opened or closed meanwhile, and writes to other nodes wait
/// behind an open or close that waits.) Where the kernel queues reports, a
/// writer would only cost time.
class HidrawConnection : public HidConnection {
 public:
  HidrawConnection(int fd, const HidInterfaceInfo& info, HidrawWrites writes);
  ~HidrawConnection() override;
  HidrawConnection(const HidrawConnection&) = delete;
  HidrawConnection& operator=(const HidrawConnection&) = delete;

  bool readAttributes(uint16_t* vendorId, uint16_t* productId) override;
  bool readCaps(uint16_t* usagePage, uint16_t* usage) override;
  void flushInput() override;
  HidWaitResult writeReport(const uint8_t* report, uint32_t timeoutMs) override;
  HidWaitResult readReport(uint8_t* report, uint32_t timeoutMs, uint32_t* immediateCount) override;
  /// With a writer: the answer is waited for while the report is written, in
  /// one poll() that the writer wakes only when the write fails.
  HidWaitResult exchangeReports(const uint8_t* request, uint8_t* response, uint32_t timeoutMs,
                                uint32_t* immediateCount, bool* written) override;
  HidHeldWrite heldWrite(uint32_t timeoutMs, uint8_t* report) override;
  void cancelIo() override {}
  std::string lastError() const override { return lastError_; }

 private:
  HidWaitResult writeInline(const uint8_t* report, int64_t deadline);
  // Keeps why for lastError(); returns kHidWaitFailed.
  HidWaitResult failed(std::string why);
  HidWaitResult writeByWriter(const uint8_t* report, uint32_t timeoutMs);
  bool startWriter();
  /// Reads what waits on the node: true with *result set when the wait is
  /// over (our report, or the node failed); false when nothing of ours is
  /// there yet. *first is cleared once a read found nothing.
  bool takeInput(uint8_t* report, bool* first, uint32_t* immediateCount, HidWaitResult* result);

  int fd_;
  HidInterfaceInfo info_;
  HidrawWrites writes_;
  std::unique_ptr<HidrawWriter> writer_;    ///< kByWriter: started by the first write
  std::string lastError_;                   ///< why the last transfer failed
  bool held_ = false;                       ///< the writer's write was given up on
  HidHeldWrite heldEnd_ = kHidNoHeldWrite;  ///< a held write refused or failed, until the next
  uint8_t heldReport_[kReportSize] = {};
};

/// Parses the HID_ID value of a uevent ("0003:0000ABCD:00001234").
bool parseHidId(const std::string& value, uint16_t* vendorId, uint16_t* productId);

/// Parses the name of a HID device's sysfs directory, which the kernel makes
/// from numbers alone ("0003:ABCD:1234.0007": bus, vendor, product, instance).
bool parseHidDeviceName(const std::string& name, uint16_t* bus, uint16_t* vendorId,
                        uint16_t* productId);

/// What a HID device's uevent says.
struct HidUevent {
  bool haveId = false;  ///< the first HID_ID line was read
  uint16_t bus = 0;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  std::string name;  ///< HID_NAME
  std::string phys;  ///< HID_PHYS
  std::string uniq;  ///< HID_UNIQ
};

/// Splits a HID device's uevent, in which device text may hold line feeds.
/// The kernel writes HID_ID, HID_NAME, HID_PHYS, HID_UNIQ and MODALIAS in
/// this order, each ended by a line feed (after the driver core's DRIVER line;
/// drivers may add lines after MODALIAS). HID_ID and MODALIAS are numbers;
/// the name is the device's own text (a USB device's strings, a Bluetooth
/// device's name) and may carry lines that look like the others. So the ids
/// come from the first HID_ID line, which precedes any text, and the rest is
/// read from the end: HID_UNIQ is the last such line before the last
/// MODALIAS line, HID_PHYS the last before that, and the name everything
/// from the first HID_NAME line to there. Where phys and uniq are the
/// kernel's (Bluetooth addresses, USB paths) this is exact; a uhid device's
/// creator writes all of them, its ids included.
HidUevent parseHidUevent(const std::string& text);
