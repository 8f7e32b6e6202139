#include "app/read_versions.h"

#include <gtest/gtest.h>

#include <string>

#include "sim/simulated_platform.h"
#include "tests/capture_listener.h"
#include "tests/sim_support.h"
#include "update/commands.h"

namespace {

// Whether a device answered, and what the mode said.
struct Reading {
  bool answered = false;
  std::string err;
};

struct Sim {
  SimulatedPlatform platform;
  DeviceFilter filter = scannerFilter();
};

Reading readAll(Sim& sim, bool verbose = false) {
  CaptureListener listener;
  Reading reading;
  reading.answered = readDeviceVersions(sim.filter, sim.platform, listener, verbose);
  reading.err = listener.err;
  return reading;
}

TEST(ReadDeviceVersions, PrintsEveryAnsweringDevice) {
  Sim sim;
  size_t first = sim.platform.addDevice(scannerConfig("QS-100", "V1.0"));
  DeviceModelConfig silent = scannerConfig("QS-100", "V9");
  silent.faults.push_back({FaultKind::kNoAnswer, CmdReadVersion, 1, 0, 0});
  sim.platform.addDevice(silent);
  DeviceModelConfig malformed = scannerConfig("QS-200", "V7");
  malformed.faults.push_back({FaultKind::kWrongMarker, CmdReadVersion, 1, 0, 0});
  sim.platform.addDevice(malformed);
  sim.platform.addDevice(scannerConfig("QS-100", "2.0.0-long-version", kModeBootloader));

  Reading reading = readAll(sim);
  EXPECT_TRUE(reading.answered);
  EXPECT_EQ(reading.err,
            "Deveice Firmware Version: V1.0\n"
            "Deveice Firmware Version: \n"
            "Deveice Firmware Version: 2.0.0-long-version\n");
  EXPECT_EQ(sim.platform.frameLog(first).at(0)[kOffsetProtocolMask], 0xAA);
}

TEST(ReadDeviceVersions, AsksOnlyTheDevicesOnTheChosenPort) {
  Sim sim;
  size_t first = sim.platform.addDevice(scannerConfig("QS-100", "V1"), "", "2-1", "S1");
  sim.platform.addDevice(scannerConfig("QS-100", "V2"), "", "2-2", "S2");
  sim.filter.selectPort = "2-2";
  EXPECT_EQ(readAll(sim).err, "Deveice Firmware Version: V2\n");
  EXPECT_TRUE(sim.platform.frameLog(first).empty());
  sim.filter.selectPort.clear();
  sim.filter.selectSerial = "S9";
  EXPECT_EQ(readAll(sim).err, "No specified VID/PID HID device detected!");
}

TEST(ReadDeviceVersions, SaysSoWhenNoDeviceIsListed) {
  Sim sim;
  Reading reading = readAll(sim);
  EXPECT_FALSE(reading.answered);
  EXPECT_EQ(reading.err, "No specified VID/PID HID device detected!");
}

TEST(ReadDeviceVersions, ListedDevicesThatNeverAnswerAreNoSuccess) {
  Sim sim;
  DeviceModelConfig silent = scannerConfig();
  silent.faults.push_back({FaultKind::kNoAnswer, CmdReadVersion, 1, 0, 0});
  sim.platform.addDevice(silent);
  Reading reading = readAll(sim);
  EXPECT_FALSE(reading.answered);
  EXPECT_EQ(reading.err, "");
  // --verbose says which device did not answer: by its port, or by its
  // path where the system tells no port.
  sim.platform.addDevice(scannerConfig("QS-100", "V3"), "", "1-3");
  reading = readAll(sim, true);
  EXPECT_TRUE(reading.answered);
  EXPECT_EQ(reading.err,
            "Error: no answer to the version request from port sim-0 (no answer within a second)\n"
            "Deveice Firmware Version: V3\n");
  Sim portless;
  portless.platform.setReportsPorts(false);
  portless.platform.addDevice(silent, "sim/hidraw7");
  EXPECT_EQ(readAll(portless, true).err,
            "Error: no answer to the version request from sim/hidraw7 (no answer within a second)\n");
}

TEST(ReadDeviceVersions, NamesTheNodeItMayNotOpen) {
  Sim sim;
  size_t id = sim.platform.addDevice(scannerConfig(), "sim/hidraw3");
  sim.platform.setOpenError(id, kHidOpenDenied);
  Reading alone = readAll(sim);
  EXPECT_FALSE(alone.answered);
  EXPECT_EQ(alone.err,
            "No specified VID/PID HID device detected!\n"
            "Permission denied opening sim/hidraw3: allow access to the simulated device\n");

  // With another device that opens, the hint follows its version line.
  sim.platform.addDevice(scannerConfig("QS-100", "V2"), "sim/hidraw4");
  Reading beside = readAll(sim);
  EXPECT_TRUE(beside.answered);
  EXPECT_EQ(beside.err,
            "Deveice Firmware Version: V2\n"
            "Permission denied opening sim/hidraw3: allow access to the simulated device\n");
}

}  // namespace
