// One HID interface that answers to the configured identifiers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "hid/hid_platform.h"
#include "protocol/device_mode.h"

/// A plain record owned by the CHidManager that created it.
struct HidDevice {
  /// Link of the manager's list; the device never follows it itself.
  HidDevice* next = nullptr;
  /// Interface path (the record's own copy); empty when none could be kept.
  std::string path;
  /// Top-level collection of the interface (from its report descriptor).
  uint16_t usagePage = 0;
  uint16_t usage = 0;
  /// Identifiers the interface reports.
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  /// Where it is plugged in and its serial number (HidInterfaceInfo), read
  /// once it matched; empty when the system does not tell.
  std::string port;
  std::string serial;
  /// Set by openAndMatch.
  DeviceMode mode = kModeNone;
  /// Goes into byte 1 of every request frame sent to this device. The only
  /// field that code outside the HID layer writes.
  uint8_t protocolMask = 0xAA;
  /// True from the successful open until close.
  bool isOpen = false;
  /// The platform connection used for transfers; null when closed.
  std::unique_ptr<HidConnection> handle;

  /// Opens the path, reads the identifiers and the collection, and matches them
  /// against gContext (bootloader rule first, then the application rule). On
  /// true the device holds a connection opened for transfers and mode is 1 or 2;
  /// on false the record is left closed. Called once per record.
  bool openAndMatch();
  /// Releases the connection. A second call does nothing.
  void close();
};

/// True when the device passes the --port and --serial filters of gContext.
bool isSelectedDevice(const HidDevice& device);

/// The matching rules alone: the mode that these identifiers give under the
/// configured ids in gContext, or kModeNone.
DeviceMode matchDeviceMode(uint16_t vendorId, uint16_t productId, uint16_t usagePage,
                           uint16_t usage);
