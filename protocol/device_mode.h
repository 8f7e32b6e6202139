// Which firmware a device of this kind runs.
#pragma once

#include <cstdint>

/// How a device matched: its application firmware or its bootloader.
enum DeviceMode : uint8_t { kModeNone = 0, kModeApplication = 1, kModeBootloader = 2 };
