#include "hid/hid_manager.h"

#include <new>
#include <string>
#include <vector>


namespace {

bool equalIgnoringCase(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size(); ++i) {
    if (b[i] == '\0') return false;
    auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; };
    if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return b[i] == '\0';
}

}  // namespace

CHidManager::~CHidManager() {
  removeAllDevices();
  callback_ = nullptr;
  userValue_ = 0;
}

void CHidManager::setObserver(DeviceObserver callback, uint32_t userValue) {
  callback_ = callback;
  userValue_ = userValue;
}

void CHidManager::raise(HidDevice* device, DeviceEvent event) {
  if (callback_ != nullptr) callback_(userValue_, device, event);
}

HidDevice* CHidManager::createDevice(const char* path) {
  auto* device = new (std::nothrow) HidDevice;
  if (device == nullptr) return nullptr;
  try {
    device->path = path;
  } catch (const std::bad_alloc&) {
    // A record without a path fails its open at once.
    device->path.clear();
  }
  return device;
}

void CHidManager::destroyDevice(HidDevice* device) {
  if (device == nullptr) return;
  if (device->isOpen) device->close();
  delete device;
}

bool CHidManager::unlink(HidDevice* device, bool raiseRemoved) {
  HidDevice* previous = nullptr;
  HidDevice* walk = head_;
  while (walk != nullptr && walk != device) {
    previous = walk;
    walk = walk->next;
  }
  if (walk == nullptr) return false;
  --count_;
  if (raiseRemoved) raise(device, kDeviceRemoved);
  if (previous != nullptr)
    previous->next = device->next;
  else
    head_ = device->next;
  // The cursor must not be left on a device that is no longer listed; a walk
  // restarts after a removal anyway.
  if (cursor_ == device) cursor_ = nullptr;
  device->next = nullptr;
  lastAdded_ = nullptr;
  return true;
}

void CHidManager::removeDevice(HidDevice* device) {
  device->close();
  if (!unlink(device, true)) return;
  destroyDevice(device);
}

HidDevice* CHidManager::releaseDevice(HidDevice* device) {
  return device != nullptr && unlink(device, false) ? device : nullptr;
}

void CHidManager::adoptDevice(HidDevice* device) {
  if (device != nullptr) append(device);
}

void CHidManager::append(HidDevice* device) {
  device->next = nullptr;
  if (head_ == nullptr) {
    head_ = device;
  } else {
    HidDevice* tail = head_;
    while (tail->next != nullptr) tail = tail->next;
    tail->next = device;
  }
  ++count_;
  raise(device, kDeviceAdded);
  lastAdded_ = device;
}

void CHidManager::refreshDevices() {
  HidPlatform& platform = platform_;
  for (HidDevice* device = head_; device != nullptr;) {
    HidDevice* following = device->next;
    if (!platform.isPresent(device->path)) removeDevice(device);
    device = following;
  }
  std::vector<std::string> paths;
  if (!platform.enumerateInterfaces(&paths)) return;
  for (const std::string& path : paths) addDevice(path.c_str());
}

void CHidManager::addDevice(const char* path) {
  if (path == nullptr) return;
  for (HidDevice* device = head_; device != nullptr; device = device->next)
    if (equalIgnoringCase(device->path, path)) return;
  HidDevice* device = createDevice(path);
  if (device == nullptr) return;
  if (!device->openAndMatch(platform_, filter_, &deniedNodes_, &openFailures_)) {
    destroyDevice(device);
    return;
  }
  append(device);
}

void CHidManager::removeAllDevices() {
  for (HidDevice* device = head_; device != nullptr;) {
    HidDevice* following = device->next;
    removeDevice(device);
    device = following;
  }
  head_ = nullptr;
  lastAdded_ = nullptr;
}

HidDevice* CHidManager::firstDevice() {
  cursor_ = head_;
  return cursor_;
}

HidDevice* CHidManager::nextDevice() {
  if (cursor_ == nullptr) return nullptr;
  cursor_ = cursor_->next;
  return cursor_;
}
