// The hidraw backend: sysfs enumeration, I/O on /dev/hidrawN.
//
// Exposed (rather than hidden in the .cpp) so that tests can point it at a
// fake sysfs tree and drive a connection over a socketpair.
#pragma once

#include <memory>
#include <string>

#include "hid/hid_platform.h"
#include "hid/hidraw_writer.h"
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
                                      HidOpenError* error) override;
  /// Ids and product from uevent, collections from report_descriptor; no open.
  bool describe(const std::string& path, HidInterfaceInfo* info) override;
  const char* permissionAdvice() const override;
  int64_t monotonicMilliseconds() override;
  void sleepMilliseconds(uint32_t ms) override;

 private:
  std::string sysfsRoot_;
  std::string devRoot_;
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

 private:
  HidWaitResult writeInline(const uint8_t* report, int64_t deadline);
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
  bool held_ = false;                       ///< the writer's write was given up on
  HidHeldWrite heldEnd_ = kHidNoHeldWrite;  ///< a held write refused or failed, until the next
  uint8_t heldReport_[kReportSize] = {};
};

/// Parses the HID_ID value of a uevent ("0003:0000ABCD:00001234").
bool parseHidId(const std::string& value, uint16_t* vendorId, uint16_t* productId);
