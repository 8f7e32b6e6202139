#include "hid/device_identity.h"

namespace {

// "1-1.4.2": bus, a dash, then port numbers joined by dots. Root hubs
// ("usb1") and interfaces ("1-1.4.2:1.0") do not match.
bool isUsbDeviceName(const std::string& name) {
  const size_t dash = name.find('-');
  if (dash == 0 || dash == std::string::npos || dash + 1 == name.size()) return false;
  bool digitBefore = false;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (c >= '0' && c <= '9') {
      digitBefore = true;
    } else if ((c == '-' && i == dash) || (c == '.' && i > dash)) {
      if (!digitBefore) return false;
      digitBefore = false;
    } else {
      return false;
    }
  }
  return digitBefore;
}

}  // namespace

std::string linuxUsbDeviceDirectory(const std::string& resolvedPath) {
  // Skip the node's own entries (hidraw/hidrawN) and the HID device; look
  // at what lies above.
  std::string path = resolvedPath;
  for (int up = 0; up < 3; ++up) {
    const size_t slash = path.find_last_of('/');
    path = slash == std::string::npos ? std::string() : path.substr(0, slash);
  }
  while (!path.empty()) {
    const size_t slash = path.find_last_of('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (isUsbDeviceName(name)) return path;
    path = slash == std::string::npos ? std::string() : path.substr(0, slash);
  }
  return {};
}

std::string linuxUsbDevice(const std::string& resolvedPath) {
  const std::string directory = linuxUsbDeviceDirectory(resolvedPath);
  return directory.substr(directory.find_last_of('/') + 1);
}

std::string linuxInterfacePort(const std::string& resolvedPath, const std::string& hidPhys) {
  std::string usbDevice = linuxUsbDevice(resolvedPath);
  if (!usbDevice.empty()) return usbDevice;
  const size_t input = hidPhys.rfind("/input");
  if (input != std::string::npos && input + 6 < hidPhys.size() &&
      hidPhys.find_first_not_of("0123456789", input + 6) == std::string::npos)
    return hidPhys.substr(0, input);
  return hidPhys;
}

std::string windowsInterfacePort(const std::string& locationPaths,
                                 const std::string& locationInformation) {
  std::string port = locationPaths.substr(0, locationPaths.find('\0'));
  if (port.empty()) return locationInformation.substr(0, locationInformation.find('\0'));
  const size_t function = port.rfind("#USBMI(");
  if (function != std::string::npos && port.back() == ')') port.erase(function);
  return port;
}
