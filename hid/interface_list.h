// Every HID interface of the kind tavrin updates, whatever its ids: what
// --list shows and what the library lists.
#pragma once

#include <string>
#include <vector>

#include "hid/device_filter.h"
#include "hid/hid_platform.h"
#include "protocol/device_mode.h"

/// One interface whose top-level collection is usage page 0x8C usage 0x01.
struct ListedInterface {
  HidInterfaceInfo info;
  /// How it matches the ids: application, bootloader or neither.
  DeviceMode mode = kModeNone;
  /// It exists but this user may not open it: an update would be refused.
  bool denied = false;
};

/// The interfaces of the kind on platform in enumeration order, each opened
/// once to learn whether access is granted (listing itself needs none).
std::vector<ListedInterface> listInterfacesOfKind(const DeviceIds& ids, HidPlatform& platform);

/// "application", "bootloader" or "-".
const char* deviceModeName(DeviceMode mode);
