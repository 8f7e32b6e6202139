// --list: every HID interface of the kind tavrin updates, whatever its ids.
#pragma once

#include "hid/device_filter.h"
#include "hid/hid_platform.h"

class RunReport;

/// Prints one line per interface whose top-level collection is usage page
/// 0x8C usage 0x01: node, vid:pid in lower-case hex, the product string when
/// the platform has one, and how it matches ids
/// ("application", "bootloader" or "-"). Returns the exit status: 0 when at
/// least one was printed, else 1 after "No HID device of this kind found".
int listDevices(const DeviceIds& ids, HidPlatform& platform, RunReport& report);
