// One HID interface that answers to the identifiers it was matched against.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hid/device_filter.h"
#include "hid/hid_platform.h"
#include "protocol/device_mode.h"

/// An interface that passes a filter but could not be opened, and the
/// system's words for why.
struct OpenFailure {
  std::string node;  ///< as the operator knows it (/dev/hidraw2, or the path)
  std::string why;
  bool operator==(const OpenFailure&) const = default;
};

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

  /// Opens the path on platform, reads the identifiers and the collection,
  /// and matches them against filter's ids (bootloader rule first, then the
  /// application rule), then its port and serial against the filter's. On
  /// true the device holds a connection opened for transfers and mode is 1
  /// or 2; on false the record is left closed. An interface the ids match
  /// but this user may not open is named in *deniedNodes (once), when given;
  /// one the ids match that could not be opened, where the system said why,
  /// goes into *openFailures (once). Called once per record.
  bool openAndMatch(HidPlatform& platform, const DeviceFilter& filter,
                    std::vector<std::string>* deniedNodes = nullptr,
                    std::vector<OpenFailure>* openFailures = nullptr);
  /// Releases the connection. A second call does nothing.
  void close();
};
