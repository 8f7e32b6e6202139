#include "app/read_versions.h"

#include <gtest/gtest.h>

#include <string>

#include "app/message.h"
#include "sim/sim_test_support.h"
#include "update/commands.h"

namespace {

// Whether a device answered, and what the mode said.
struct Reading {
  bool answered = false;
  std::string err;
};

Reading readAll() {
  MessageSink sink;
  Reading reading;
  reading.answered = readDeviceVersions();
  reading.err = sink.err;
  return reading;
}

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

  Reading reading = readAll();
  EXPECT_TRUE(reading.answered);
  EXPECT_EQ(reading.err,
            "Deveice Firmware Version: V1.0\n"
            "Deveice Firmware Version: \n"
            "Deveice Firmware Version: 2.0.0-long-version\n");
  EXPECT_EQ(sim.platform.frameLog(first).at(0)[kOffsetProtocolMask], 0xAA);
}

TEST(ReadDeviceVersions, AsksOnlyTheDevicesOnTheChosenPort) {
  ScopedSimulation sim;
  configureScannerIds();
  size_t first = sim.platform.addDevice(scannerConfig("QS-100", "V1"), "", "2-1", "S1");
  sim.platform.addDevice(scannerConfig("QS-100", "V2"), "", "2-2", "S2");
  gContext.selectPort = "2-2";
  EXPECT_EQ(readAll().err, "Deveice Firmware Version: V2\n");
  EXPECT_TRUE(sim.platform.frameLog(first).empty());
  gContext.selectPort.clear();
  gContext.selectSerial = "S9";
  EXPECT_EQ(readAll().err, "No specified VID/PID HID device detected!");
}

TEST(ReadDeviceVersions, SaysSoWhenNoDeviceIsListed) {
  ScopedSimulation sim;
  configureScannerIds();
  Reading reading = readAll();
  EXPECT_FALSE(reading.answered);
  EXPECT_EQ(reading.err, "No specified VID/PID HID device detected!");
}

TEST(ReadDeviceVersions, ListedDevicesThatNeverAnswerAreNoSuccess) {
  ScopedSimulation sim;
  configureScannerIds();
  DeviceModelConfig silent = scannerConfig();
  silent.faults.push_back({FaultKind::kNoAnswer, CmdReadVersion, 1, 0, 0});
  sim.platform.addDevice(silent);
  Reading reading = readAll();
  EXPECT_FALSE(reading.answered);
  EXPECT_EQ(reading.err, "");
}

TEST(ReadDeviceVersions, NamesTheNodeItMayNotOpen) {
  ScopedSimulation sim;
  configureScannerIds();
  size_t id = sim.platform.addDevice(scannerConfig(), "sim/hidraw3");
  sim.platform.setOpenError(id, kHidOpenDenied);
  Reading alone = readAll();
  EXPECT_FALSE(alone.answered);
  EXPECT_EQ(alone.err,
            "No specified VID/PID HID device detected!\n"
            "Permission denied opening sim/hidraw3: allow access to the simulated device\n");

  // With another device that opens, the hint follows its version line.
  sim.platform.addDevice(scannerConfig("QS-100", "V2"), "sim/hidraw4");
  Reading beside = readAll();
  EXPECT_TRUE(beside.answered);
  EXPECT_EQ(beside.err,
            "Deveice Firmware Version: V2\n"
            "Permission denied opening sim/hidraw3: allow access to the simulated device\n");
}

}  // namespace
