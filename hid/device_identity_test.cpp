#include "hid/device_identity.h"

#include <gtest/gtest.h>

namespace {

TEST(DeviceIdentity, LinuxPortIsTheUsbDeviceAboveTheInterface) {
  const std::string hub =
      "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.4/1-1.4.2/1-1.4.2:1.0/"
      "0003:ABCD:1234.0007/hidraw/hidraw2";
  EXPECT_EQ(linuxInterfacePort(hub, "usb-0000:00:14.0-1.4.2/input0"), "1-1.4.2");
  EXPECT_EQ(linuxUsbDevice(hub), "1-1.4.2");
  // Another interface (a second collection set) of the same device: the same port.
  EXPECT_EQ(linuxInterfacePort("/sys/devices/pci0000:00/0000:00:14.0/usb3/3-2/3-2:1.1/"
                               "0003:ABCD:1234.0009/hidraw/hidraw5",
                               ""),
            "3-2");
  // Bus numbers and ports past 9.
  EXPECT_EQ(linuxInterfacePort("/sys/devices/x/usb12/12-10/12-10.11/12-10.11:1.0/"
                               "0003:ABCD:1000.0010/hidraw/hidraw0",
                               ""),
            "12-10.11");
}

TEST(DeviceIdentity, LinuxPortWithoutAUsbAncestorIsThePhysicalPath) {
  const std::string uhid = "/sys/devices/virtual/misc/uhid/0003:ABCD:1234.0001/hidraw/hidraw0";
  EXPECT_EQ(linuxInterfacePort(uhid, "tavrin-sim-3/input0"), "tavrin-sim-3");
  EXPECT_EQ(linuxUsbDevice(uhid), "");
  EXPECT_EQ(linuxInterfacePort(uhid, "bench-a"), "bench-a");
  EXPECT_EQ(linuxInterfacePort(uhid, "x/input"), "x/input");  // no number: not a suffix
  EXPECT_EQ(linuxInterfacePort(uhid, ""), "");
  EXPECT_EQ(linuxInterfacePort("hidraw0", ""), "");
}

TEST(DeviceIdentity, WindowsPortIsTheFirstLocationPathWithoutTheFunction) {
  using namespace std::string_literals;
  EXPECT_EQ(windowsInterfacePort("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)#USB(2)\0"
                                 "ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)#ACPI(HS04)\0\0"s,
                                 "Port_#0002.Hub_#0004"),
            "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)#USB(2)");
  EXPECT_EQ(windowsInterfacePort("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)#USBMI(1)\0\0"s, ""),
            "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)");
  EXPECT_EQ(windowsInterfacePort("", "Port_#0002.Hub_#0004"), "Port_#0002.Hub_#0004");
  EXPECT_EQ(windowsInterfacePort("", ""), "");
}

}  // namespace
