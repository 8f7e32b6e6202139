// The kernel's device events (NETLINK_KOBJECT_UEVENT), read for the hidraw
// nodes that come and go: how the hidraw backend learns of an arrival at
// once instead of enumerating sysfs again and again. No library and no udev
// daemon is needed; the kernel sends these to any process that listens.
#pragma once

#include <cstddef>
#include <cstdint>

/// True when a kernel uevent message (data, size bytes: "ACTION@DEVPATH"
/// then NUL-separated KEY=VALUE pairs) tells of a hidraw node added or
/// removed.
bool isHidrawNodeEvent(const char* data, size_t size);

/// One netlink socket that listens for the kernel's device events.
class UeventMonitor {
 public:
  UeventMonitor() = default;
  ~UeventMonitor() { reset(); }
  UeventMonitor(const UeventMonitor&) = delete;
  UeventMonitor& operator=(const UeventMonitor&) = delete;

  /// Opens the socket; false when this system does not allow it (the caller
  /// then polls).
  bool open();
  bool isOpen() const { return fd_ >= 0; }
  /// Waits at most timeoutMs for events and reads every one that waits.
  /// True when one of them was a hidraw node added or removed, or when
  /// events were lost (the socket's buffer overflowed): then anything may
  /// have changed.
  bool wait(uint32_t timeoutMs);
  void reset();

 private:
  int fd_ = -1;
};
