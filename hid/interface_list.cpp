#include "hid/interface_list.h"

std::vector<ListedInterface> listInterfacesOfKind(const DeviceIds& ids, HidPlatform& platform) {
  std::vector<ListedInterface> listed;
  std::vector<std::string> paths;
  if (!platform.enumerateInterfaces(&paths)) return listed;
  for (const std::string& path : paths) {
    ListedInterface entry;
    if (!platform.describe(path, &entry.info)) continue;
    const HidInterfaceInfo& info = entry.info;
    if (info.usagePage != kTavrinUsagePage || info.usage != kTavrinUsage) continue;
    entry.mode = matchDeviceMode(ids, info.vendorId, info.productId, info.usagePage, info.usage);
    HidOpenError error = kHidOpenOk;
    entry.denied = !platform.open(path, kHidOpenToIdentify, &error, nullptr) && error == kHidOpenDenied;
    listed.push_back(std::move(entry));
  }
  return listed;
}

const char* deviceModeName(DeviceMode mode) {
  switch (mode) {
    case kModeApplication:
      return "application";
    case kModeBootloader:
      return "bootloader";
    default:
      return "-";
  }
}
