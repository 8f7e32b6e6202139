#include "sim/sim_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/sim_support.h"

namespace {

// Records what the host asks of the kernel, one line per call.
class RecordingKernel : public SimDriver {
 public:
  bool createDevice(size_t index, const SimIdentity& id) override {
    char text[96];
    std::snprintf(text, sizeof text, "create %zu %04x:%04x %s", index, id.vendorId, id.productId,
                  id.serial.c_str());
    calls.push_back(text);
    return !refuseCreate;
  }
  void destroyDevice(size_t index) override { calls.push_back("destroy " + std::to_string(index)); }
  void stopTaking(size_t index) override { calls.push_back("stop " + std::to_string(index)); }
  void sendInput(size_t index, const Report& r) override {
    char text[64];
    // id, sequence echo and command echo identify an answer well enough.
    std::snprintf(text, sizeof text, "input %zu %02x seq=%u cmd=%02x", index, r[0], r[5], r[8]);
    calls.push_back(text);
  }
  std::vector<std::string> take() {
    std::vector<std::string> out;
    out.swap(calls);
    return out;
  }
  std::vector<std::string> calls;
  bool refuseCreate = false;
};

// A request frame as tavrin builds it: mask AA, flag, length, complement,
// sequence, payload, checksum.
Report request(uint8_t seq, std::vector<uint8_t> payload, uint8_t flag = 0) {
  Report f{};
  f[0] = 0xB2;
  f[1] = 0xAA;
  f[2] = static_cast<uint8_t>(0x55 + flag);
  f[3] = static_cast<uint8_t>(payload.size() + 2);
  f[4] = static_cast<uint8_t>(~f[3]);
  f[5] = seq;
  uint16_t sum = 0;
  for (size_t i = 0; i < payload.size(); ++i) {
    f[6 + i] = payload[i];
    sum = static_cast<uint16_t>(sum + payload[i]);
  }
  f[6 + payload.size()] = static_cast<uint8_t>(sum);
  f[7 + payload.size()] = static_cast<uint8_t>(sum >> 8);
  return f;
}

// The devices a test presents; one by default, as the simulator tools start.
struct Bench {
  struct Device {
    DeviceModelConfig model;
    std::string name = "tavrin simulated device";
  };
  std::vector<Device> devices;
};

Bench oneDevice() {
  Bench bench;
  bench.devices.push_back({scannerConfig("TVR-100", "1.0.0")});
  return bench;
}

// Presents every device of the bench; true when all came up.
bool startAll(SimHost& host, const Bench& bench) {
  bool all = true;
  for (const Bench::Device& device : bench.devices)
    all = host.present(host.addDevice(device.model, device.name)) && all;
  return all;
}

using Calls = std::vector<std::string>;

TEST(SimHost, SwitchRestartsUnderBootloaderIdsAfterTheDelay) {
  Bench o = oneDevice();
  o.devices[0].model.reenumerateDelayMs = 200;
  RecordingKernel k;
  SimHost host(k);
  ASSERT_TRUE(startAll(host, o));
  EXPECT_EQ(k.take(), Calls{"create 0 abcd:1234 SIM0001"});
  EXPECT_EQ(host.nextDueUs(), -1);

  Report enter = request(3, {0x67});
  host.receive(0, enter.data(), enter.size(), 1000);
  // The answer leaves before the device goes away.
  EXPECT_EQ(k.take(), (Calls{"input 0 b1 seq=3 cmd=67", "destroy 0"}));
  EXPECT_FALSE(host.present(0));
  EXPECT_EQ(host.nextDueUs(), 201000);
  // Frames cannot reach a device that is gone.
  Report read = request(4, {0x60});
  host.receive(0, read.data(), read.size(), 2000);
  EXPECT_TRUE(k.take().empty());

  // A driver polling in real time wakes for the restart, rounded up to a whole millisecond.
  EXPECT_EQ(host.advanceAndWaitMs(1000, 500), 200);
  EXPECT_EQ(host.advanceAndWaitMs(200999, 500), 1);
  EXPECT_TRUE(k.take().empty());
  EXPECT_EQ(host.advanceAndWaitMs(201000, 500), 500);
  // Under its bootloader ids, on the same port and with the same serial.
  EXPECT_EQ(k.take(), Calls{"create 0 abcd:1000 SIM0001"});
  EXPECT_TRUE(host.present(0));
  EXPECT_EQ(host.port(0), "sim-0");
  EXPECT_EQ(host.nextDueUs(), -1);
}

// Boards plugged in and pulled on a schedule, and the next board the
// fixture's operator puts in after a finish: each new board's wait for its
// first report is told.
TEST(SimHost, BoardsComeAndGoOnTheirSchedule) {
  Bench o = oneDevice();
  DeviceModelConfig& m = o.devices[0].model;
  m.startMode = kModeBootloader;
  m.nextBoardAfterFinishMs = 1000;
  RecordingKernel k;
  SimHost host(k);
  host.addDevice(m, "board", "p1", "", 5000);
  EXPECT_FALSE(host.present(0));
  EXPECT_TRUE(k.take().empty());
  EXPECT_EQ(host.nextDueUs(), 5000);
  host.advance(5000);
  EXPECT_EQ(k.take(), Calls{"create 0 abcd:1000 SIM0001"});
  Report read = request(1, {0x60});
  host.receive(0, read.data(), read.size(), 5300);
  Report finish = request(2, {0x66});
  host.receive(0, finish.data(), finish.size(), 6000);
  EXPECT_EQ(k.take(), (Calls{"input 0 b1 seq=1 cmd=60", "input 0 b1 seq=2 cmd=66", "destroy 0"}));
  EXPECT_EQ(host.nextDueUs(), 1006000);
  host.advance(1006000);
  // A fresh board: its start mode again, and a serial of its own.
  EXPECT_EQ(k.take(), Calls{"create 0 abcd:1000 SIM0001-2"});
  EXPECT_FALSE(host.model(0).finished());
  host.receive(0, read.data(), read.size(), 1006040);
  host.receive(0, finish.data(), finish.size(), 1007000);
  k.take();
  host.advance(2007000);
  EXPECT_EQ(k.take(), Calls{"create 0 abcd:1000 SIM0001-3"});
  EXPECT_EQ(host.arrivalsText(),
            "arrival 0 first-report-us 300\narrival 0 first-report-us 40\n");

  host.scheduleUnplug(0, 3000000);
  EXPECT_EQ(host.nextDueUs(), 3000000);
  host.advance(3000000);
  EXPECT_EQ(k.take(), Calls{"destroy 0"});
  EXPECT_EQ(host.nextDueUs(), -1);
}

TEST(SimHost, NeverReturningAndVanishingDevices) {
  Bench o = oneDevice();
  o.devices[0].model.neverReturnAfterSwitch = true;
  RecordingKernel k;
  SimHost host(k);
  ASSERT_TRUE(startAll(host, o));
  k.take();
  Report enter = request(1, {0x67});
  host.receive(0, enter.data(), enter.size(), 0);
  EXPECT_EQ(k.take(), (Calls{"input 0 b1 seq=1 cmd=67", "destroy 0"}));
  EXPECT_EQ(host.nextDueUs(), -1);
  host.advance(3600000000);
  EXPECT_TRUE(k.take().empty());

  Bench v = oneDevice();
  v.devices[0].model.startMode = kModeBootloader;
  v.devices[0].model.vanishAfterDataFrames = 2;
  RecordingKernel k2;
  SimHost boot(k2);
  ASSERT_TRUE(startAll(boot, v));
  EXPECT_EQ(k2.take(), Calls{"create 0 abcd:1000 SIM0001"});
  for (uint8_t seq = 1; seq <= 2; ++seq) {
    Report data = request(seq, {0x64, 1, 2, 3}, 1);
    boot.receive(0, data.data(), data.size(), seq);
  }
  EXPECT_EQ(k2.take(), (Calls{"input 0 b1 seq=1 cmd=64", "input 0 b1 seq=2 cmd=64", "destroy 0"}));
  EXPECT_FALSE(boot.present(0));
  EXPECT_EQ(boot.nextDueUs(), -1);

  // One that stops taking reports stays present; what it is sent later is
  // neither answered nor logged.
  v.devices[0].model.vanishAfterDataFrames = 0;
  v.devices[0].model.stopTakingAfterDataFrames = 1;
  std::string logPath = ::testing::TempDir() + "sim_host_test.stall";
  FILE* log = std::fopen(logPath.c_str(), "w");
  ASSERT_NE(log, nullptr);
  RecordingKernel k3;
  SimHost stalling(k3);
  stalling.setFrameLog(log);
  ASSERT_TRUE(startAll(stalling, v));
  k3.take();
  for (uint8_t seq = 1; seq <= 2; ++seq) {
    Report data = request(seq, {0x64, 1, 2, 3}, 1);
    stalling.receive(0, data.data(), data.size(), seq);
  }
  std::fclose(log);
  EXPECT_EQ(k3.take(), (Calls{"input 0 b1 seq=1 cmd=64", "stop 0"}));
  EXPECT_TRUE(stalling.present(0));
  std::ifstream in(logPath);
  EXPECT_EQ(std::count(std::istreambuf_iterator<char>(in), {}, '\n'), 1);
  std::remove(logPath.c_str());
}

TEST(SimHost, AnswersLostTwiceOrBehindTheNextAndWritesTakenLate) {
  Bench o = oneDevice();
  o.devices[0].model.startMode = kModeBootloader;
  o.devices[0].model.faults = {{FaultKind::kAnswerLost, 0x64, 1, 1, 0},
                               {FaultKind::kDuplicate, 0x64, 2, 1, 0},
                               {FaultKind::kOutOfOrder, 0x64, 3, 1, 0},
                               {FaultKind::kHeldWrite, 0x64, 5, 1, 2500}};
  RecordingKernel k;
  SimHost host(k);
  host.setRecordFrames(true);
  ASSERT_TRUE(startAll(host, o));
  k.take();
  for (uint8_t seq = 1; seq <= 4; ++seq) {
    Report data = request(seq, {0x64, seq}, 1);
    // The fifth is held by its device: the carrier asks before it sends.
    EXPECT_EQ(host.holdUs(0, data.data(), data.size()), 0);
    host.receive(0, data.data(), data.size(), seq * 1000);
  }
  // The first is stored but not answered, the second answered twice, the
  // third only behind the fourth.
  EXPECT_EQ(k.take(), (Calls{"input 0 b1 seq=2 cmd=64", "input 0 b1 seq=2 cmd=64",
                             "input 0 b1 seq=4 cmd=64", "input 0 b1 seq=3 cmd=64"}));
  EXPECT_EQ(host.model(0).storedImage(), (std::vector<uint8_t>{1, 2, 3, 4}));
  const auto& taken = host.takenFrames(0);
  ASSERT_EQ(taken.size(), 4u);
  EXPECT_EQ(taken[0].answerUs, -1);
  EXPECT_EQ(taken[1].answerUs, 2000);
  EXPECT_EQ(taken[2].answerUs, 4000);  // came with the fourth's
  EXPECT_EQ(taken[3].imageBytes, 4u);
  Report fifth = request(5, {0x64, 5}, 1);
  EXPECT_EQ(host.holdUs(0, fifth.data(), fifth.size()), 2500000);

  // One that stopped taking reports holds every one for good.
  o.devices[0].model.faults.clear();
  o.devices[0].model.stopTakingAfterDataFrames = 1;
  RecordingKernel k2;
  SimHost stalling(k2);
  ASSERT_TRUE(startAll(stalling, o));
  stalling.receive(0, fifth.data(), fifth.size(), 7000);
  EXPECT_EQ(stalling.holdUs(0, fifth.data(), fifth.size()), SimHost::kNeverTaken);
  EXPECT_NE(stalling.statsText().find(" stopped-taking-us 7000\n"), std::string::npos);
}

TEST(SimHost, LateAnswersKeepTheirOrderAndDieWithTheDevice) {
  Bench o = oneDevice();
  o.devices[0].model.faults.push_back({FaultKind::kLateAnswer, 0x60, 1, 1, 1500});
  RecordingKernel k;
  SimHost host(k);
  ASSERT_TRUE(startAll(host, o));
  k.take();
  Report first = request(1, {0x60});
  Report second = request(2, {0x61});
  host.receive(0, first.data(), first.size(), 10000);
  host.receive(0, second.data(), second.size(), 20000);
  // The immediate answer to the second request queues behind the late one.
  EXPECT_TRUE(k.take().empty());
  EXPECT_EQ(host.nextDueUs(), 1510000);
  host.advance(1509999);
  EXPECT_TRUE(k.take().empty());
  host.advance(1510000);
  EXPECT_EQ(k.take(), (Calls{"input 0 b1 seq=1 cmd=60", "input 0 b1 seq=2 cmd=61"}));

  // A late answer pending at a restart is lost.
  Report again = request(3, {0x60});
  host.receive(0, again.data(), again.size(), 2000000);
  EXPECT_EQ(k.take(), Calls{"input 0 b1 seq=3 cmd=60"});  // only the first was late
  Bench p = oneDevice();
  p.devices[0].model.faults.push_back({FaultKind::kLateAnswer, 0x61, 1, 1, 500});
  RecordingKernel k2;
  SimHost h2(k2);
  ASSERT_TRUE(startAll(h2, p));
  k2.take();
  Report info = request(1, {0x61});
  Report enter = request(2, {0x67});
  h2.receive(0, info.data(), info.size(), 0);
  h2.receive(0, enter.data(), enter.size(), 100);
  EXPECT_EQ(k2.take(), Calls{"destroy 0"});
  h2.advance(10000000);
  EXPECT_EQ(k2.take(), Calls{"create 0 abcd:1000 SIM0001"});
}

TEST(SimHost, AnswersOnTheWireSurviveARestart) {
  Bench o = oneDevice();
  RecordingKernel k;
  SimHost host(k);
  host.setAnswerLatencyUs(2000);
  ASSERT_TRUE(startAll(host, o));
  k.take();
  Report read = request(1, {0x60});
  host.receive(0, read.data(), read.size(), 0);
  EXPECT_TRUE(k.take().empty());
  EXPECT_EQ(host.nextDueUs(), 2000);
  host.advance(2000);
  EXPECT_EQ(k.take(), Calls{"input 0 b1 seq=1 cmd=60"});
  // The answer to the switch has left the device when it resets: it arrives
  // before the node goes.
  Report enter = request(2, {0x67});
  host.receive(0, enter.data(), enter.size(), 3000);
  EXPECT_EQ(k.take(), (Calls{"input 0 b1 seq=2 cmd=67", "destroy 0"}));
}

TEST(SimHost, AnswersWaitForTheNextPoll) {
  Bench o = oneDevice();
  RecordingKernel k;
  SimHost host(k);
  host.setAnswerLatencyUs(300);
  host.setPollIntervalUs(1000);
  ASSERT_TRUE(startAll(host, o));
  k.take();
  // Off the wire at 2500 us: the poll at 3000 us takes it.
  Report read = request(1, {0x60});
  host.receive(0, read.data(), read.size(), 2200);
  EXPECT_EQ(host.nextDueUs(), 3000);
  host.advance(2999);
  EXPECT_TRUE(k.take().empty());
  host.advance(3000);
  EXPECT_EQ(k.take(), Calls{"input 0 b1 seq=1 cmd=60"});
  // Off the wire right at a poll: taken by it.
  Report again = request(2, {0x60});
  host.receive(0, again.data(), again.size(), 3700);
  EXPECT_EQ(host.nextDueUs(), 4000);
}

TEST(SimHost, FrameLogStatsAndImages) {
  Bench o = oneDevice();
  o.devices[0].model.startMode = kModeBootloader;
  o.devices.push_back(o.devices[0]);
  std::string dir = ::testing::TempDir();
  std::string logPath = dir + "sim_host_test.frames";
  std::string imagePath = dir + "sim_host_test.image";
  std::remove((imagePath + ".1").c_str());
  FILE* log = std::fopen(logPath.c_str(), "w");
  ASSERT_NE(log, nullptr);
  RecordingKernel k;
  SimHost host(k);
  host.setFrameLog(log);
  ASSERT_TRUE(startAll(host, o));
  Report start = request(1, {0x63}, 1);
  Report d1 = request(2, {0x64, 0xDE, 0xAD}, 1);
  Report d2 = request(3, {0x64, 0xBE, 0xEF}, 1);
  Report d3 = request(4, {0x64, 0x01}, 1);
  host.receive(1, start.data(), start.size(), 100);
  host.receive(1, d1.data(), d1.size(), 1000);
  host.receive(1, d2.data(), d2.size(), 1250);
  host.receive(1, d3.data(), d3.size(), 2000);
  // A short report is logged as it came.
  const uint8_t shortReport[3] = {0xB2, 0xAA, 0x55};
  host.receive(0, shortReport, sizeof shortReport, 3000);
  std::fclose(log);

  std::ifstream in(logPath);
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_EQ(line, "1 boot b2aa5603fc016363" + std::string(50, '0'));
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_EQ(line, "1 boot b2aa5605fa0264deadef01" + std::string(44, '0'));
  std::getline(in, line);
  std::getline(in, line);
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_EQ(line, "0 boot b2aa55");
  EXPECT_FALSE(std::getline(in, line));

  EXPECT_EQ(host.statsText(),
            "device 0 data-frames 0 span-us 0 per-exchange-us 0.0 best-window-us 0.0\n"
            "device 1 data-frames 3 span-us 1000 per-exchange-us 500.0 best-window-us 0.0\n");
  ASSERT_TRUE(host.writeImages(imagePath));
  std::ifstream first(imagePath, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(first), {}), "");
  std::ifstream second(imagePath + ".1", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(second), {}), "\xDE\xAD\xBE\xEF\x01");
  EXPECT_FALSE(host.writeImages(dir + "no/such/dir/image"));

  // Two windows of 255 exchanges, 10 us and then 4 us apart: the faster counts.
  RecordingKernel k2;
  SimHost timed(k2);
  ASSERT_TRUE(startAll(timed, oneDevice()));
  int64_t now = 0;
  for (int i = 0; i < 511; ++i) {
    Report data = request(static_cast<uint8_t>(i % 255 + 1), {0x64, 1}, 1);
    timed.receive(0, data.data(), data.size(), now);
    now += i < 255 ? 10 : 4;
  }
  EXPECT_EQ(timed.statsText(),
            "device 0 data-frames 511 span-us 3570 per-exchange-us 7.0 best-window-us 4.0\n");
  std::remove(logPath.c_str());
  std::remove(imagePath.c_str());
  std::remove((imagePath + ".1").c_str());
}

TEST(SimHost, StartFailsWhenTheKernelRefuses) {
  Bench o = oneDevice();
  RecordingKernel k;
  k.refuseCreate = true;
  SimHost host(k);
  EXPECT_FALSE(startAll(host, o));
  EXPECT_FALSE(host.present(0));
}

}  // namespace
