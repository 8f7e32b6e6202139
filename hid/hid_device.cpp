#include "hid/hid_device.h"

#include "app/update_context.h"

DeviceMode matchDeviceMode(uint16_t vendorId, uint16_t productId, uint16_t usagePage,
                           uint16_t usage) {
  if (usagePage != kTavrinUsagePage || usage != kTavrinUsage) return kModeNone;
  // The bootloader rule goes first: ids that satisfy both rules name a bootloader.
  if (vendorId == gContext.bootVid && productId == gContext.bootPid) return kModeBootloader;
  if (vendorId == gContext.appVid) {
    for (uint16_t pid : gContext.appPids)
      if (productId == pid) return kModeApplication;
  }
  return kModeNone;
}

bool isSelectedDevice(const HidDevice& device) {
  return (gContext.selectPort.empty() || device.port == gContext.selectPort) &&
         (gContext.selectSerial.empty() || device.serial == gContext.selectSerial);
}

namespace {

// An interface we may not open is only worth a hint when it is one we would
// have used; describing it needs no open.
void notePermissionProblem(const std::string& path) {
  HidInterfaceInfo info;
  if (!hidPlatform().describe(path, &info)) return;
  if (matchDeviceMode(info.vendorId, info.productId, info.usagePage, info.usage) != kModeNone)
    noteHidPermissionProblem(info.node.empty() ? path : info.node);
}

}  // namespace

bool HidDevice::openAndMatch() {
  if (path.empty()) return false;
  HidPlatform& platform = hidPlatform();
  HidOpenError error = kHidOpenOk;
  handle = platform.open(path, kHidOpenToIdentify, &error);
  if (!handle) {
    if (error == kHidOpenDenied) notePermissionProblem(path);
    return false;
  }
  isOpen = true;
  if (!handle->readAttributes(&vendorId, &productId)) {
    close();
    return false;
  }
  if (!handle->readCaps(&usagePage, &usage)) {
    close();
    return false;
  }
  mode = matchDeviceMode(vendorId, productId, usagePage, usage);
  if (mode == kModeNone) {
    close();
    return false;
  }
  HidInterfaceInfo info;
  if (platform.describe(path, &info)) {
    port = info.port;
    serial = info.serial;
  }
  // The identity open is replaced by the one that carries the transfers.
  handle.reset();
  handle = platform.open(path, kHidOpenForTransfers, &error);
  if (!handle) {
    if (error == kHidOpenDenied) notePermissionProblem(path);
    close();
    return false;
  }
  return true;
}

void HidDevice::close() {
  handle.reset();
  isOpen = false;
}
