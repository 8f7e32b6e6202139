#include "app/read_versions.h"

#include <gtest/gtest.h>

#include <string>

#include "hid/sim_test_support.h"
#include "update/commands.h"

namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

TEST(ReadDeviceVersions, PrintsEveryAnsweringDevice) {
  ScopedSimulation sim;
  configureScannerIds();
  gContext.protocolMask = 0x33;  // the read-version mode always sends 0xAA
  size_t first = sim.platform.addDevice(scannerConfig("QS-100", "V1.0"));
  DeviceModelConfig silent = scannerConfig("QS-100", "V9");
  silent.faults.push_back({FaultKind::kNoAnswer, CmdReadVersion, 1, 0, 0});
  sim.platform.addDevice(silent);
  DeviceModelConfig malformed = scannerConfig("QS-200", "V7");
  malformed.faults.push_back({FaultKind::kWrongMarker, CmdReadVersion, 1, 0, 0});
  sim.platform.addDevice(malformed);
  sim.platform.addDevice(scannerConfig("QS-100", "2.0.0-long-version", kModeBootloader));

  CaptureStderr();
  EXPECT_TRUE(readDeviceVersions());
  EXPECT_EQ(GetCapturedStderr(),
            "Deveice Firmware Version: V1.0\n"
            "Deveice Firmware Version: \n"
            "Deveice Firmware Version: 2.0.0-long-version\n");
  EXPECT_EQ(sim.platform.frameLog(first).at(0)[1], 0xAA);
}

TEST(ReadDeviceVersions, NothingToAsk) {
  ScopedSimulation sim;
  configureScannerIds();
  CaptureStderr();
  EXPECT_FALSE(readDeviceVersions());
  EXPECT_EQ(GetCapturedStderr(), "No specified VID/PID HID device detected!");

  // Devices that are listed but never answer: no line, and no success.
  DeviceModelConfig silent = scannerConfig();
  silent.faults.push_back({FaultKind::kNoAnswer, CmdReadVersion, 1, 0, 0});
  sim.platform.addDevice(silent);
  CaptureStderr();
  EXPECT_FALSE(readDeviceVersions());
  EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(ReadDeviceVersions, NamesTheNodeItMayNotOpen) {
  ScopedSimulation sim;
  configureScannerIds();
  size_t id = sim.platform.addDevice(scannerConfig(), "sim/hidraw3");
  sim.platform.setOpenError(id, kHidOpenDenied);
  CaptureStderr();
  EXPECT_FALSE(readDeviceVersions());
  EXPECT_EQ(GetCapturedStderr(),
            "No specified VID/PID HID device detected!\n"
            "Permission denied opening sim/hidraw3: allow access to the simulated device\n");

  // With another device that opens, the hint follows its version line.
  sim.platform.addDevice(scannerConfig("QS-100", "V2"), "sim/hidraw4");
  CaptureStderr();
  EXPECT_TRUE(readDeviceVersions());
  EXPECT_EQ(GetCapturedStderr(),
            "Deveice Firmware Version: V2\n"
            "Permission denied opening sim/hidraw3: allow access to the simulated device\n");
}

}  // namespace
