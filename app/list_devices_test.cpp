#include "app/list_devices.h"

#include <gtest/gtest.h>

#include "hid/sim_test_support.h"

namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

TEST(ListDevices, EveryInterfaceOfTheKind) {
  ScopedSimulation sim;
  gContext.appVid = 0xABCD;
  gContext.appPids[0] = 0x1234;
  gContext.bootVid = 0xABCD;
  gContext.bootPid = 0x1000;
  sim.platform.addDevice(scannerConfig("QS-100"), "sim/hidraw0");
  sim.platform.addForeignInterface("sim/hidraw1", 0xABCD, 0x1234, 0x01, 0x06);
  sim.platform.addDevice(scannerConfig("QS-100", "V1", kModeBootloader), "sim/hidraw2");
  sim.platform.addForeignInterface("sim/hidraw3", 0x0C2E, 0x0B61, 0x8C, 0x01);

  CaptureStderr();
  CaptureStdout();
  EXPECT_EQ(listDevices(), 0);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(GetCapturedStdout(),
            "sim/hidraw0 abcd:1234 \"Simulated QS-100\" application\n"
            "sim/hidraw2 abcd:1000 \"Simulated QS-100\" bootloader\n"
            "sim/hidraw3 0c2e:0b61 -\n");

  // Listing needs no access, but the operator hears that an update would.
  sim.platform.setOpenError(0, kHidOpenDenied);
  CaptureStderr();
  CaptureStdout();
  EXPECT_EQ(listDevices(), 0);
  EXPECT_NE(GetCapturedStdout().find("sim/hidraw0 abcd:1234"), std::string::npos);
  EXPECT_EQ(GetCapturedStderr().find(
                "Permission denied opening sim/hidraw0: allow access to the simulated "
                "device\n"),
            0u);
}

TEST(ListDevices, NoneFound) {
  ScopedSimulation sim;
  sim.platform.addForeignInterface("sim/hidraw1", 0xABCD, 0x1234, 0x01, 0x06);
  CaptureStderr();
  CaptureStdout();
  EXPECT_EQ(listDevices(), 1);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(GetCapturedStderr(), "No HID device of this kind found\n");
}

}  // namespace
