#include "app/list_devices.h"

#include <gtest/gtest.h>

#include "app/message.h"
#include "app/run_report.h"
#include "sim/simulated_platform.h"
#include "tests/sim_support.h"

namespace {

struct Listing {
  int status = -1;
  std::string out;
  std::string err;
};

Listing list(SimulatedPlatform& platform, const DeviceIds& ids = scannerFilter()) {
  MessageSink sink;
  RunReport report;
  Listing listing;
  listing.status = listDevices(ids, platform, report);
  listing.out = sink.out;
  listing.err = sink.err;
  return listing;
}

void plugInBench(SimulatedPlatform& platform) {
  platform.addDevice(scannerConfig("QS-100"), "sim/hidraw0", "1-1.4", "A 1");
  platform.addForeignInterface("sim/hidraw1", 0xABCD, 0x1234, 0x01, 0x06);
  platform.addDevice(scannerConfig("QS-100", "V1", kModeBootloader), "sim/hidraw2", "1-2", "B2");
  platform.addForeignInterface("sim/hidraw3", 0x0C2E, 0x0B61, 0x8C, 0x01);
}

TEST(ListDevices, ShowsEveryInterfaceOfTheKindWithItsMode) {
  SimulatedPlatform platform;
  plugInBench(platform);
  Listing listing = list(platform);
  EXPECT_EQ(listing.status, 0);
  EXPECT_EQ(listing.err, "");
  EXPECT_EQ(listing.out,
            "sim/hidraw0 abcd:1234 \"Simulated QS-100\" application port=1-1.4 serial=A\\x201\n"
            "sim/hidraw2 abcd:1000 \"Simulated QS-100\" bootloader port=1-2 serial=B2\n"
            "sim/hidraw3 0c2e:0b61 - port=- serial=-\n");
}

TEST(ListDevices, WarnsThatAnUpdateWouldNeedAccess) {
  SimulatedPlatform platform;
  plugInBench(platform);
  platform.setOpenError(0, kHidOpenDenied);
  Listing listing = list(platform);
  EXPECT_EQ(listing.status, 0);
  EXPECT_NE(listing.out.find("sim/hidraw0 abcd:1234"), std::string::npos);
  EXPECT_EQ(listing.err,
            "Permission denied opening sim/hidraw0: allow access to the simulated device\n");
}

TEST(ListDevices, EscapesWhatTheDeviceCallsItself) {
  SimulatedPlatform platform;
  platform.addDevice(scannerConfig("\x1b]0;pwn\a"), "sim/hidraw0", "p\n", "s\x1b");
  EXPECT_EQ(list(platform).out,
            "sim/hidraw0 abcd:1234 \"Simulated \\x1b]0;pwn\\x07\" application port=p\\x0a "
            "serial=s\\x1b\n");
}

TEST(ListDevices, FailsWhenNoneIsFound) {
  SimulatedPlatform platform;
  platform.addForeignInterface("sim/hidraw1", 0xABCD, 0x1234, 0x01, 0x06);
  Listing listing = list(platform);
  EXPECT_EQ(listing.status, 1);
  EXPECT_EQ(listing.out, "");
  EXPECT_EQ(listing.err, "No HID device of this kind found\n");
}

}  // namespace
