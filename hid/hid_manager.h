// The list of present HID devices that pass a device filter.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hid/device_filter.h"
#include "hid/hid_device.h"
#include "hid/hid_platform.h"

/// Events told to the observer.
enum DeviceEvent : uint32_t {
  kManagerClosing = 1,
  kDeviceAdded = 2,
  kDeviceRemoved = 3,
};

/// Observer: called with the user value, the device (or null) and the event.
using DeviceObserver = void (*)(uint32_t userValue, HidDevice* device, uint32_t event);

class CHidManager {
 public:
  /// An empty manager that lists the interfaces of platform that pass filter.
  /// The platform must outlive the manager.
  CHidManager(HidPlatform& platform, const DeviceFilter& filter)
      : platform_(platform), filter_(filter) {}
  CHidManager(const CHidManager&) = delete;
  CHidManager& operator=(const CHidManager&) = delete;
  /// Empties the list (every device closed and destroyed). Virtual so that a
  /// manager can be owned through a base pointer; a subclass that overrides
  /// destroyDevice must call removeAllDevices() in its own destructor, since
  /// the base destructor no longer reaches the override.
  virtual ~CHidManager();

  /// Drops listed devices whose path is gone, then adds every present interface
  /// that is new and matches, in enumeration order.
  void refreshDevices();
  /// Lists the interface at path when no listed path equals it ignoring case
  /// and it opens and matches. The caller keeps path.
  void addDevice(const char* path);
  /// Closes, unlists and destroys every device; lastAddedDevice() becomes null.
  void removeAllDevices();

  uint32_t deviceCount() const { return count_; }
  /// Starts a walk; null for an empty list.
  HidDevice* firstDevice();
  /// The device after the previous one returned; null at the end.
  HidDevice* nextDevice();
  /// The device most recently added, or null (every removal clears it).
  HidDevice* lastAddedDevice() const { return lastAdded_; }

  /// Installs an observer (none by default).
  void setObserver(DeviceObserver callback, uint32_t userValue);

  /// What a device must pass to be listed from now on; listed devices stay.
  void setFilter(const DeviceFilter& filter) { filter_ = filter; }
  const DeviceFilter& filter() const { return filter_; }
  HidPlatform& platform() const { return platform_; }
  /// Operator-facing names of interfaces that pass the filter but could not be
  /// opened for lack of permission, in the order met, without repeats.
  const std::vector<std::string>& permissionProblems() const { return deniedNodes_; }
  /// Interfaces that pass the filter but could not be opened, with the
  /// system's words for why (whatever the cause), in the order met, without
  /// repeats.
  const std::vector<OpenFailure>& openFailures() const { return openFailures_; }

  /// Takes device out of the list without closing or freeing it: the caller
  /// owns it now (to hand it to another manager). Null when it is not listed.
  HidDevice* releaseDevice(HidDevice* device);
  /// Lists a device another manager released, as addDevice lists a new one.
  void adoptDevice(HidDevice* device);

  /// Makes an unopened record for path; null when it cannot.
  virtual HidDevice* createDevice(const char* path);
  /// Closes (when open) and frees a record; null does nothing.
  virtual void destroyDevice(HidDevice* device);

 private:
  void removeDevice(HidDevice* device);
  // Unlinks a listed device and uncounts it; false when it is not listed.
  bool unlink(HidDevice* device, bool raiseRemoved);
  void append(HidDevice* device);
  void raise(HidDevice* device, DeviceEvent event);

  HidPlatform& platform_;
  DeviceFilter filter_;
  std::vector<std::string> deniedNodes_;
  std::vector<OpenFailure> openFailures_;
  DeviceObserver callback_ = nullptr;
  uint32_t userValue_ = 0;
  HidDevice* head_ = nullptr;
  HidDevice* cursor_ = nullptr;
  HidDevice* lastAdded_ = nullptr;
  uint32_t count_ = 0;
};
