// Where a HID interface is plugged in (its port) and what it calls itself
// (its serial), worked out from what each system reports. A port stays the
// same when the device restarts into its bootloader, which is what lets an
// update follow its own device through the switch.
#pragma once

#include <string>

/// The USB device a Linux hidraw interface belongs to: the name of the nearest
/// USB device directory above resolvedPath (see below), or empty when it sits
/// on no USB device (uhid, Bluetooth, I2C).
std::string linuxUsbDevice(const std::string& resolvedPath);

/// The sysfs directory of that USB device (resolvedPath up to its name), or
/// empty as above.
std::string linuxUsbDeviceDirectory(const std::string& resolvedPath);

/// The port of a Linux hidraw interface. resolvedPath is the sysfs directory
/// of the node (".../1-1.4.2/1-1.4.2:1.0/0003:ABCD:1234.0007/hidraw/hidraw2"):
/// the name of the nearest USB device directory above it ("1-1.4.2"). Without
/// a USB ancestor (uhid, Bluetooth), the HID device's HID_PHYS without its
/// trailing "/inputN"; empty when neither exists.
std::string linuxInterfacePort(const std::string& resolvedPath, const std::string& hidPhys);

/// The port of a Windows HID interface from its USB device's location paths
/// (a REG_MULTI_SZ: strings each ended by a zero, then one more zero) or, when
/// those are missing, its location information. An interface of a composite
/// device reports its function ("...#USB(2)#USBMI(1)"); the function is
/// dropped, so the port names the device.
std::string windowsInterfacePort(const std::string& locationPaths,
                                 const std::string& locationInformation);
