#include "hid/hid_manager.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hid/transaction.h"
#include "sim/simulated_platform.h"
#include "tests/sim_support.h"
#include "update/commands.h"

namespace {

struct Sim {
  SimulatedPlatform platform;
  DeviceFilter filter = scannerFilter();
};

TEST(DeviceMatching, RulesInOrder) {
  DeviceIds ids;
  // Nothing configured: only ids 0:0 match, and then as a bootloader.
  EXPECT_EQ(matchDeviceMode(ids, 0, 0, 0x8C, 0x01), kModeBootloader);
  EXPECT_EQ(matchDeviceMode(ids, 0xABCD, 0x1234, 0x8C, 0x01), kModeNone);

  ids = scannerFilter();
  EXPECT_EQ(matchDeviceMode(ids, 0xABCD, 0x1234, 0x8C, 0x01), kModeApplication);
  EXPECT_EQ(matchDeviceMode(ids, 0xABCD, 0x1000, 0x8C, 0x01), kModeBootloader);
  // The untouched entries 1 and 2 of appPids hold 0, which matches.
  EXPECT_EQ(matchDeviceMode(ids, 0xABCD, 0x0000, 0x8C, 0x01), kModeApplication);
  EXPECT_EQ(matchDeviceMode(ids, 0xABCD, 0x1235, 0x8C, 0x01), kModeNone);
  EXPECT_EQ(matchDeviceMode(ids, 0xABCE, 0x1234, 0x8C, 0x01), kModeNone);
  // Right ids, wrong collection.
  EXPECT_EQ(matchDeviceMode(ids, 0xABCD, 0x1234, 0x01, 0x06), kModeNone);
  EXPECT_EQ(matchDeviceMode(ids, 0xABCD, 0x1234, 0x8C, 0x02), kModeNone);
  EXPECT_EQ(matchDeviceMode(ids, 0xABCD, 0x1000, 0xFF00, 0x01), kModeNone);

  ids.appPids[2] = 0x7777;
  EXPECT_EQ(matchDeviceMode(ids, 0xABCD, 0x7777, 0x8C, 0x01), kModeApplication);
  // Ids that satisfy both rules are a bootloader.
  ids.bootPid = 0x1234;
  EXPECT_EQ(matchDeviceMode(ids, 0xABCD, 0x1234, 0x8C, 0x01), kModeBootloader);
}

TEST(HidDeviceRecord, OpenAndClose) {
  Sim sim;
  size_t id = sim.platform.addDevice(scannerConfig());
  HidDevice device;
  EXPECT_EQ(device.protocolMask, 0xAA);
  EXPECT_FALSE(device.openAndMatch(sim.platform, sim.filter));  // no path
  EXPECT_FALSE(device.isOpen);

  device.path = sim.platform.currentPath(id);
  ASSERT_TRUE(device.openAndMatch(sim.platform, sim.filter));
  EXPECT_TRUE(device.isOpen);
  EXPECT_EQ(device.mode, kModeApplication);
  EXPECT_EQ(device.vendorId, 0xABCD);
  EXPECT_EQ(device.productId, 0x1234);
  EXPECT_EQ(device.usagePage, 0x8C);
  EXPECT_EQ(device.usage, 0x01);
  device.close();
  device.close();
  EXPECT_FALSE(device.isOpen);
  EXPECT_FALSE(device.handle);
  EXPECT_EQ(device.mode, kModeApplication);

  // Matched, but the transfer open fails: rejected and left closed.
  HidDevice second;
  second.path = device.path;
  sim.platform.setOpenError(id, kHidOpenFailed, true);
  EXPECT_FALSE(second.openAndMatch(sim.platform, sim.filter));
  EXPECT_FALSE(second.isOpen);
  EXPECT_FALSE(second.handle);
}

TEST(HidManager, ListOrderDuplicatesAndRemoval) {
  Sim sim;
  SimulatedPlatform& p = sim.platform;
  size_t a = p.addDevice(scannerConfig("A"), "sim/Scanner-A");
  p.addForeignInterface("sim/keyboard", 0xABCD, 0x1234, 0x01, 0x06);
  size_t b = p.addDevice(scannerConfig("B", "V1", kModeBootloader), "sim/scanner-b");
  p.addForeignInterface("sim/other", 0x1111, 0x2222, 0x8C, 0x01);
  size_t c = p.addDevice(scannerConfig("C"), "sim/scanner-c");

  CHidManager manager(sim.platform, sim.filter);
  EXPECT_EQ(manager.firstDevice(), nullptr);
  EXPECT_EQ(manager.nextDevice(), nullptr);
  manager.refreshDevices();
  ASSERT_EQ(manager.deviceCount(), 3u);
  std::vector<std::string> paths;
  for (HidDevice* d = manager.firstDevice(); d != nullptr; d = manager.nextDevice())
    paths.push_back(d->path + (d->mode == kModeBootloader ? "=boot" : "=app"));
  EXPECT_EQ(paths, (std::vector<std::string>{"sim/Scanner-A=app", "sim/scanner-b=boot",
                                             "sim/scanner-c=app"}));
  EXPECT_EQ(manager.lastAddedDevice()->path, "sim/scanner-c");
  EXPECT_EQ(manager.nextDevice(), nullptr);

  // A second refresh with nothing changed adds and removes nothing.
  HidDevice* last = manager.lastAddedDevice();
  manager.refreshDevices();
  EXPECT_EQ(manager.deviceCount(), 3u);
  EXPECT_EQ(manager.lastAddedDevice(), last);

  // The same path in other letter case is the same interface.
  manager.addDevice("SIM/SCANNER-A");
  EXPECT_EQ(manager.deviceCount(), 3u);
  EXPECT_EQ(manager.lastAddedDevice(), last);

  // A vanished device goes, and with it lastAdded, though others remain.
  p.removeDevice(b);
  manager.refreshDevices();
  EXPECT_EQ(manager.deviceCount(), 2u);
  EXPECT_EQ(manager.lastAddedDevice(), nullptr);
  EXPECT_EQ(manager.firstDevice()->path, "sim/Scanner-A");
  EXPECT_EQ(manager.nextDevice()->path, "sim/scanner-c");

  // A refresh that removes and adds leaves the added one as lastAdded.
  p.removeDevice(a);
  size_t d = p.addDevice(scannerConfig("D"), "sim/scanner-d");
  manager.refreshDevices();
  EXPECT_EQ(manager.deviceCount(), 2u);
  ASSERT_NE(manager.lastAddedDevice(), nullptr);
  EXPECT_EQ(manager.lastAddedDevice()->path, p.currentPath(d));
  EXPECT_EQ(manager.firstDevice()->path, p.currentPath(c));

  manager.removeAllDevices();
  EXPECT_EQ(manager.deviceCount(), 0u);
  EXPECT_EQ(manager.firstDevice(), nullptr);
  EXPECT_EQ(manager.lastAddedDevice(), nullptr);
  manager.removeAllDevices();
  EXPECT_EQ(manager.deviceCount(), 0u);
}

struct EventLog {
  std::vector<std::string> entries;
};
EventLog* gEvents = nullptr;

void recordEvent(uint32_t userValue, HidDevice* device, uint32_t event) {
  gEvents->entries.push_back(std::to_string(userValue) + ":" + std::to_string(event) + ":" +
                             (device != nullptr ? device->path : "-") + ":" +
                             (device != nullptr && device->isOpen ? "open" : "closed"));
}

// Counts what the virtual operations make and free.
class CountingManager : public CHidManager {
 public:
  using CHidManager::CHidManager;
  ~CountingManager() override { removeAllDevices(); }
  HidDevice* createDevice(const char* path) override {
    ++created;
    if (refuse) return nullptr;
    return CHidManager::createDevice(path);
  }
  void destroyDevice(HidDevice* device) override {
    if (device != nullptr) ++destroyed;
    CHidManager::destroyDevice(device);
  }
  int created = 0;
  int destroyed = 0;
  bool refuse = false;
};

TEST(HidManager, VirtualOperationsAndObserver) {
  Sim sim;
  EventLog log;
  gEvents = &log;
  sim.platform.addDevice(scannerConfig(), "sim/one");
  sim.platform.addForeignInterface("sim/mouse", 0x046D, 0xC077, 0x01, 0x02);
  {
    CountingManager manager(sim.platform, sim.filter);
    manager.setObserver(recordEvent, 7);
    manager.refreshDevices();
    // Rejected interfaces are made and freed again, on every refresh.
    EXPECT_EQ(manager.created, 2);
    EXPECT_EQ(manager.destroyed, 1);
    manager.refreshDevices();
    EXPECT_EQ(manager.created, 3);
    EXPECT_EQ(manager.destroyed, 2);
    manager.removeAllDevices();
    EXPECT_EQ(manager.destroyed, 3);

    manager.refuse = true;
    manager.refreshDevices();
    EXPECT_EQ(manager.deviceCount(), 0u);
  }
  EXPECT_EQ(log.entries, (std::vector<std::string>{"7:2:sim/one:open", "7:3:sim/one:closed"}));
  gEvents = nullptr;
}

// Says why an open failed, as a system does.
class ExplainedOpens : public SimulatedPlatform {
 public:
  std::unique_ptr<HidConnection> open(const std::string& path, HidOpenPurpose purpose,
                                      HidOpenError* error, std::string* errorText) override {
    std::unique_ptr<HidConnection> connection =
        SimulatedPlatform::open(path, purpose, error, errorText);
    if (!connection)
      *errorText = *error == kHidOpenDenied ? "Permission denied" : "Device or resource busy";
    return connection;
  }
};

TEST(HidManager, PermissionProblemsNamedOnlyForMatchingInterfaces) {
  struct {
    ExplainedOpens platform;
    DeviceFilter filter = scannerFilter();
  } sim;
  size_t ours = sim.platform.addDevice(scannerConfig(), "sim/ours");
  size_t foreign = sim.platform.addForeignInterface("sim/theirs", 0x1111, 0x2222, 0x8C, 0x01);
  sim.platform.setOpenError(ours, kHidOpenDenied);
  sim.platform.setOpenError(foreign, kHidOpenDenied);
  CHidManager manager(sim.platform, sim.filter);
  manager.refreshDevices();
  manager.refreshDevices();
  EXPECT_EQ(manager.deviceCount(), 0u);
  EXPECT_EQ(manager.permissionProblems(), (std::vector<std::string>{"sim/ours"}));
  // With the system's words, once.
  EXPECT_EQ(manager.openFailures(), (std::vector<OpenFailure>{{"sim/ours", "Permission denied"}}));

  // Any other failure to open is not a permission problem, but is told.
  sim.platform.setOpenError(ours, kHidOpenFailed);
  CHidManager second(sim.platform, sim.filter);
  second.refreshDevices();
  EXPECT_TRUE(second.permissionProblems().empty());
  EXPECT_EQ(second.openFailures(),
            (std::vector<OpenFailure>{{"sim/ours", "Device or resource busy"}}));
  // Nor is a denied interface of another port than the one asked for.
  sim.platform.setOpenError(ours, kHidOpenDenied);
  CHidManager elsewhere(sim.platform, scannerFilter("sim-9"));
  elsewhere.refreshDevices();
  EXPECT_TRUE(elsewhere.permissionProblems().empty());
  EXPECT_TRUE(elsewhere.openFailures().empty());
}

TEST(HidManager, FilterByPortAndSerialAndHandOver) {
  Sim sim;
  sim.platform.addDevice(scannerConfig("A"));
  sim.platform.addDevice(scannerConfig("B"));
  DeviceFilter onPort = scannerFilter("sim-1");
  CHidManager manager(sim.platform, onPort);
  manager.refreshDevices();
  ASSERT_EQ(manager.deviceCount(), 1u);
  EXPECT_EQ(manager.firstDevice()->port, "sim-1");
  DeviceFilter bySerial = scannerFilter();
  bySerial.selectSerial = "SIM0001";
  manager.setFilter(bySerial);
  manager.refreshDevices();  // listed devices stay; sim-0 joins
  ASSERT_EQ(manager.deviceCount(), 2u);
  EXPECT_EQ(manager.lastAddedDevice()->serial, "SIM0001");

  // A device handed from one manager to another stays open and is the
  // other's to close and free.
  CHidManager other(sim.platform, sim.filter);
  HidDevice* moved = manager.releaseDevice(manager.firstDevice());
  ASSERT_NE(moved, nullptr);
  EXPECT_EQ(manager.deviceCount(), 1u);
  EXPECT_EQ(manager.lastAddedDevice(), nullptr);
  EXPECT_EQ(manager.releaseDevice(moved), nullptr);
  EXPECT_TRUE(moved->isOpen);
  other.adoptDevice(moved);
  EXPECT_EQ(other.deviceCount(), 1u);
  EXPECT_EQ(other.lastAddedDevice(), moved);
  EXPECT_EQ(moved->next, nullptr);
}

TEST(HidManager, BootloaderAppearsUnderNewPathAfterSwitch) {
  Sim sim;
  DeviceModelConfig config = scannerConfig();
  config.reenumerateDelayMs = 1200;
  size_t id = sim.platform.addDevice(config);
  CHidManager manager(sim.platform, sim.filter);
  manager.refreshDevices();
  HidDevice* app = manager.firstDevice();
  ASSERT_NE(app, nullptr);
  const std::string appPath = app->path;
  const uint8_t enter[] = {CmdEnterBootloader};
  uint8_t response[kFrameBufferSize] = {};
  uint8_t bytesRead = 0;
  TransactionLink link;
  EXPECT_EQ(sendTransaction(link, app, enter, 1, 0, response, &bytesRead), kTransactionOk);
  manager.removeAllDevices();

  manager.refreshDevices();
  EXPECT_EQ(manager.deviceCount(), 0u);
  sim.platform.sleepMilliseconds(1200);
  manager.refreshDevices();
  ASSERT_EQ(manager.deviceCount(), 1u);
  HidDevice* boot = manager.lastAddedDevice();
  ASSERT_NE(boot, nullptr);
  EXPECT_EQ(boot->mode, kModeBootloader);
  EXPECT_NE(boot->path, appPath);
  EXPECT_EQ(boot->path, sim.platform.currentPath(id));
  EXPECT_EQ(boot->productId, 0x1000);
}

}  // namespace
