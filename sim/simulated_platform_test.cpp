#include "sim/simulated_platform.h"

#include <gtest/gtest.h>

#include "hid/hid_manager.h"
#include "hid/transaction.h"
#include "tests/sim_support.h"
#include "update/commands.h"

namespace {

struct Sim {
  SimulatedPlatform platform;
  TransactionLink link;
};

int exchange(Sim& sim, HidDevice* device, uint8_t command, uint8_t* response) {
  const uint8_t payload[2] = {command, 0x01};
  uint8_t bytesRead = 0;
  uint8_t flag = (command == CmdStartUpdate || command == CmdWriteData) ? 1 : 0;
  return sendTransaction(sim.link, device, payload, command == CmdWriteData ? 2 : 1, flag, response,
                         &bytesRead);
}

TEST(SimulatedPlatform, ClockLatencyAndLateAnswers) {
  Sim sim;
  DeviceModelConfig config = scannerConfig("QS-100", "V1", kModeBootloader);
  config.faults.push_back({FaultKind::kLateAnswer, CmdGetInfo, 2, 1, 700});
  sim.platform.addDevice(config);
  sim.platform.setExchangeLatencyMs(2);
  CHidManager manager(sim.platform, scannerFilter());
  manager.refreshDevices();
  HidDevice* device = manager.firstDevice();
  ASSERT_NE(device, nullptr);
  uint8_t response[kFrameBufferSize] = {};

  EXPECT_EQ(exchange(sim, device, CmdGetInfo, response), kTransactionOk);
  EXPECT_EQ(sim.platform.monotonicMilliseconds(), 2);
  // Late, but within the read wait.
  EXPECT_EQ(exchange(sim, device, CmdGetInfo, response), kTransactionOk);
  EXPECT_EQ(sim.platform.monotonicMilliseconds(), 2 + 702);
  sim.platform.sleepMilliseconds(500);
  EXPECT_EQ(sim.platform.monotonicMilliseconds(), 1204);
  EXPECT_EQ(sim.platform.frameLog(0).size(), 2u);
}

TEST(SimulatedPlatform, AnswersLeaveInTheOrderTheRequestsCame) {
  Sim sim;
  DeviceModelConfig config = scannerConfig("QS-100", "V1", kModeBootloader);
  config.faults.push_back({FaultKind::kLateAnswer, CmdGetInfo, 1, 1, 2500});
  sim.platform.addDevice(config);
  CHidManager manager(sim.platform, scannerFilter());
  manager.refreshDevices();
  HidDevice* device = manager.firstDevice();
  ASSERT_NE(device, nullptr);
  uint8_t response[kFrameBufferSize] = {};

  EXPECT_EQ(exchange(sim, device, CmdGetInfo, response), kTransactionTimeout);
  EXPECT_EQ(sim.platform.monotonicMilliseconds(), 1000);
  // The device is still busy with the late answer: the next one waits behind it.
  EXPECT_EQ(exchange(sim, device, CmdReadVersion, response), kTransactionTimeout);
  EXPECT_EQ(sim.platform.monotonicMilliseconds(), 2000);
  // At 2500 ms all three answers arrive; the late one is first in line.
  ASSERT_EQ(exchange(sim, device, CmdGetInfo, response), kTransactionOk);
  EXPECT_EQ(response[8], CmdGetInfo);
  EXPECT_EQ(sim.platform.monotonicMilliseconds(), 2500);
  // The two behind it are flushed before the next request.
  ASSERT_EQ(exchange(sim, device, CmdReadVersion, response), kTransactionOk);
  EXPECT_EQ(response[8], CmdReadVersion);
  EXPECT_EQ(sim.platform.monotonicMilliseconds(), 2500);
}

TEST(SimulatedPlatform, VanishingDevices) {
  Sim sim;
  DeviceModelConfig config = scannerConfig("QS-100", "V1", kModeBootloader);
  config.vanishAfterDataFrames = 2;
  size_t id = sim.platform.addDevice(config);
  DeviceModelConfig lost = scannerConfig("QS-200");
  lost.neverReturnAfterSwitch = true;
  size_t lostId = sim.platform.addDevice(lost);
  CHidManager manager(sim.platform, scannerFilter());
  manager.refreshDevices();
  ASSERT_EQ(manager.deviceCount(), 2u);
  HidDevice* boot = manager.firstDevice();
  HidDevice* app = manager.nextDevice();
  uint8_t response[kFrameBufferSize] = {};

  EXPECT_EQ(exchange(sim, boot, CmdStartUpdate, response), kTransactionOk);
  EXPECT_EQ(exchange(sim, boot, CmdWriteData, response), kTransactionOk);
  // The second chunk is answered, then the device is gone.
  EXPECT_EQ(exchange(sim, boot, CmdWriteData, response), kTransactionOk);
  EXPECT_EQ(exchange(sim, boot, CmdWriteData, response), kTransactionFailed);
  EXPECT_EQ(sim.platform.currentPath(id), "");

  EXPECT_EQ(exchange(sim, app, CmdEnterBootloader, response), kTransactionOk);
  sim.platform.advance(60000);
  manager.refreshDevices();
  EXPECT_EQ(manager.deviceCount(), 0u);
  EXPECT_EQ(sim.platform.currentPath(lostId), "");
  EXPECT_EQ(sim.platform.model(id).storedImage(), (std::vector<uint8_t>{0x01, 0x01}));
}

}  // namespace

// The watch's wait: it sleeps on the virtual clock until a device comes or
// goes, and no longer than it was asked to.
TEST(SimulatedPlatform, AWaitForAChangeEndsWhenADeviceComesOrGoes) {
  SimulatedPlatform platform;
  EXPECT_FALSE(platform.waitForChange(300));
  EXPECT_EQ(platform.monotonicMilliseconds(), 300);
  const size_t id = platform.schedulePlug(2000, scannerConfig(), "p1");
  platform.scheduleUnplug(5000, id);
  EXPECT_TRUE(platform.currentPath(id).empty());
  EXPECT_FALSE(platform.waitForChange(1000));
  EXPECT_EQ(platform.monotonicMilliseconds(), 1300);
  EXPECT_TRUE(platform.waitForChange(10000));
  EXPECT_EQ(platform.monotonicMilliseconds(), 2000);
  EXPECT_EQ(platform.currentPath(id), "sim/0/0");
  EXPECT_FALSE(platform.waitForChange(0));  // told once
  EXPECT_TRUE(platform.waitForChange(10000));
  EXPECT_EQ(platform.monotonicMilliseconds(), 5000);
  EXPECT_TRUE(platform.currentPath(id).empty());
  // A device that restarts goes and comes: a change too.
  DeviceModelConfig config = scannerConfig();
  config.reenumerateDelayMs = 100;
  const size_t other = platform.addDevice(config, "", "p2");
  EXPECT_TRUE(platform.waitForChange(0));
  platform.removeDevice(other);
  EXPECT_TRUE(platform.waitForChange(0));
  EXPECT_FALSE(platform.waitForChange(0));
}
