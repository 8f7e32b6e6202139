#include "hid/hid_device.h"

#include <algorithm>

DeviceMode matchDeviceMode(const DeviceIds& ids, uint16_t vendorId, uint16_t productId,
                           uint16_t usagePage, uint16_t usage) {
  if (usagePage != kTavrinUsagePage || usage != kTavrinUsage) return kModeNone;
  // The bootloader rule goes first: ids that satisfy both rules name a bootloader.
  if (vendorId == ids.bootVid && productId == ids.bootPid) return kModeBootloader;
  if (vendorId == ids.appVid) {
    for (uint16_t pid : ids.appPids)
      if (productId == pid) return kModeApplication;
  }
  return kModeNone;
}

bool passesSelection(const DeviceFilter& filter, const std::string& port,
                     const std::string& serial) {
  return (filter.selectPort.empty() || port == filter.selectPort) &&
         (filter.selectSerial.empty() || serial == filter.selectSerial);
}

namespace {

// An interface we could not open is only worth telling when it is one we
// would have used; describing it needs no open.
void noteOpenFailure(HidPlatform& platform, const DeviceFilter& filter, const std::string& path,
                     HidOpenError error, const std::string& why,
                     std::vector<std::string>* deniedNodes,
                     std::vector<OpenFailure>* openFailures) {
  const bool denied = error == kHidOpenDenied && deniedNodes != nullptr;
  const bool explained = !why.empty() && openFailures != nullptr;
  if (!denied && !explained) return;
  HidInterfaceInfo info;
  if (!platform.describe(path, &info)) return;
  if (matchDeviceMode(filter, info.vendorId, info.productId, info.usagePage, info.usage) ==
          kModeNone ||
      !passesSelection(filter, info.port, info.serial))
    return;
  const std::string node = info.node.empty() ? path : info.node;
  if (denied && std::find(deniedNodes->begin(), deniedNodes->end(), node) == deniedNodes->end())
    deniedNodes->push_back(node);
  const OpenFailure failure{node, why};
  if (explained &&
      std::find(openFailures->begin(), openFailures->end(), failure) == openFailures->end())
    openFailures->push_back(failure);
}

}  // namespace

bool HidDevice::openAndMatch(HidPlatform& platform, const DeviceFilter& filter,
                             std::vector<std::string>* deniedNodes,
                             std::vector<OpenFailure>* openFailures) {
  if (path.empty()) return false;
  HidOpenError error = kHidOpenOk;
  std::string why;
  handle = platform.open(path, kHidOpenToIdentify, &error, &why);
  if (!handle) {
    noteOpenFailure(platform, filter, path, error, why, deniedNodes, openFailures);
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
  mode = matchDeviceMode(filter, vendorId, productId, usagePage, usage);
  if (mode == kModeNone) {
    close();
    return false;
  }
  HidInterfaceInfo info;
  if (platform.describe(path, &info)) {
    port = info.port;
    serial = info.serial;
  }
  // Another device's interface: not opened for transfers at all.
  if (!passesSelection(filter, port, serial)) {
    close();
    return false;
  }
  // The identity open is replaced by the one that carries the transfers.
  handle.reset();
  handle = platform.open(path, kHidOpenForTransfers, &error, &why);
  if (!handle) {
    noteOpenFailure(platform, filter, path, error, why, deniedNodes, openFailures);
    close();
    return false;
  }
  return true;
}

void HidDevice::close() {
  handle.reset();
  isOpen = false;
}
