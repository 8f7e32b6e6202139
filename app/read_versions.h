// The read-version mode (-r): every matching device's firmware version.
#pragma once

#include "hid/device_filter.h"
#include "hid/hid_platform.h"

class SessionListener;

/// Lists the devices that pass filter, asks each for its version with
/// protocol mask 0xAA and prints "Deveice Firmware Version: <text>" for each
/// one that answers, through listener; with verbose, one that does not says
/// so on a line of its own. Returns true when at least one device answered.
bool readDeviceVersions(const DeviceFilter& filter, HidPlatform& platform,
                        SessionListener& listener, bool verbose = false);
