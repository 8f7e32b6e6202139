// Access to the hidraw nodes on Linux, through udev: the probe the installed
// rule runs, and a narrow rule by ids for those who prefer one.
#pragma once

#include <string>

#include "hid/device_filter.h"
#include "hid/hid_platform.h"

/// --udev-probe PATH: prints "TAVRIN_DEVICE=1" when the hidraw device whose
/// sysfs directory is PATH has a top-level collection of this kind (usage
/// page 0x8C, usage 0x01), whatever its ids; prints nothing otherwise.
/// Returns the exit status (0: udev reads what was printed).
int runUdevProbe(const std::string& path, HidPlatform& platform);

/// --udev-rule: prints rules granting the logged-in user access to the
/// hidraw nodes of the application and bootloader ids; with a group
/// (--group), the members of that group instead, as a station run by a
/// service account without a login session needs.
int printUdevRule(const DeviceIds& ids, const std::string& group = "");
