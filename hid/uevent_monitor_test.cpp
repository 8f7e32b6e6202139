#include "hid/uevent_monitor.h"

#include <gtest/gtest.h>

#include <string>

namespace {

bool hidrawEvent(const std::string& message) {
  return isHidrawNodeEvent(message.data(), message.size());
}

}  // namespace

// The kernel's messages as they arrive: "ACTION@DEVPATH", then KEY=VALUE
// pairs, each ended by a NUL.
TEST(UeventMonitor, OnlyHidrawNodesThatComeOrGoCount) {
  const std::string path = "/devices/virtual/misc/uhid/0003:ABCD:1234.0007/hidraw/hidraw3";
  EXPECT_TRUE(hidrawEvent(std::string("add@") + path + '\0' + "ACTION=add" + '\0' + "DEVPATH=" +
                          path + '\0' + "SUBSYSTEM=hidraw" + '\0' + "DEVNAME=hidraw3" + '\0'));
  EXPECT_TRUE(hidrawEvent(std::string("remove@") + path + '\0' + "SUBSYSTEM=hidraw"));
  // The HID device itself, its driver binding, an attribute change: not a node.
  EXPECT_FALSE(hidrawEvent(std::string("add@/devices/virtual/misc/uhid/0003:ABCD:1234.0007") +
                           '\0' + "SUBSYSTEM=hid" + '\0'));
  EXPECT_FALSE(hidrawEvent(std::string("change@") + path + '\0' + "SUBSYSTEM=hidraw" + '\0'));
  EXPECT_FALSE(hidrawEvent(std::string("bind@") + path + '\0' + "SUBSYSTEM=hidraw" + '\0'));
  // A value that only contains the word, a header without '@', a cut message.
  EXPECT_FALSE(hidrawEvent(std::string("add@/x") + '\0' + "DRIVER=SUBSYSTEM=hidraw" + '\0'));
  EXPECT_FALSE(hidrawEvent(std::string("add/x") + '\0' + "SUBSYSTEM=hidraw" + '\0'));
  EXPECT_FALSE(hidrawEvent("add@/x"));
  EXPECT_FALSE(hidrawEvent(""));
}

// Where the socket may be opened, a wait with nothing coming ends in time.
TEST(UeventMonitor, AWaitIsBounded) {
  UeventMonitor monitor;
  if (!monitor.open()) GTEST_SKIP() << "netlink is closed to this process";
  EXPECT_TRUE(monitor.isOpen());
  monitor.wait(10);
  monitor.reset();
  EXPECT_FALSE(monitor.isOpen());
  EXPECT_TRUE(monitor.wait(0));  // closed: anything may have changed
}
