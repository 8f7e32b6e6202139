// Which HID interfaces an operation works with: the identifiers of the device
// in its application firmware and in its bootloader, and, to single out one
// device among several, its port or serial number.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/device_mode.h"

struct DeviceIds {
  uint16_t appVid = 0;
  /// Product ids accepted in application firmware; the command line sets the
  /// first, the others stay 0.
  uint16_t appPids[3] = {0, 0, 0};
  uint16_t bootVid = 0;
  uint16_t bootPid = 0;
};

struct DeviceFilter : DeviceIds {
  /// Only the device on this port, or with this serial, passes (empty: any).
  std::string selectPort;
  std::string selectSerial;
};

/// The matching rules alone: the mode these identifiers and collection give
/// under ids (the bootloader rule first, then the application rule), or
/// kModeNone.
DeviceMode matchDeviceMode(const DeviceIds& ids, uint16_t vendorId, uint16_t productId,
                           uint16_t usagePage, uint16_t usage);

/// True when a device on port with serial passes the filter's port and serial.
bool passesSelection(const DeviceFilter& filter, const std::string& port,
                     const std::string& serial);
