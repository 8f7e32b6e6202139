// The list of present HID devices that match the configured identifiers.
#pragma once

#include <cstdint>

#include "hid/hid_device.h"

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
  CHidManager() = default;
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

  /// Makes an unopened record for path; null when it cannot.
  virtual HidDevice* createDevice(const char* path);
  /// Closes (when open) and frees a record; null does nothing.
  virtual void destroyDevice(HidDevice* device);

 private:
  void removeDevice(HidDevice* device);
  void raise(HidDevice* device, DeviceEvent event);

  DeviceObserver callback_ = nullptr;
  uint32_t userValue_ = 0;
  HidDevice* head_ = nullptr;
  HidDevice* cursor_ = nullptr;
  HidDevice* lastAdded_ = nullptr;
  uint32_t count_ = 0;
};
