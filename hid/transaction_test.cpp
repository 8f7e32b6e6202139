#include "hid/transaction.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "hid/hid_manager.h"
#include "protocol/command_codes.h"
#include "sim/simulated_platform.h"
#include "tests/sim_support.h"

namespace {

std::vector<uint8_t> frameBytes(const uint8_t* frame, size_t count) {
  return std::vector<uint8_t>(frame, frame + count);
}

bool allZero(const uint8_t* bytes, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i)
    if (bytes[i] != 0) return false;
  return true;
}

TEST(RequestFrame, WorkedExamples) {
  uint8_t frame[kFrameBufferSize];

  const uint8_t readVersion[] = {0x60};
  ASSERT_TRUE(buildRequestFrame(readVersion, 1, 0, 0xAA, 1, frame));
  EXPECT_EQ(frameBytes(frame, 9),
            (std::vector<uint8_t>{0xB2, 0xAA, 0x55, 0x03, 0xFC, 0x01, 0x60, 0x60, 0x00}));
  EXPECT_TRUE(allZero(frame, 9, kFrameBufferSize));

  uint8_t write[17];
  write[0] = 0x64;
  std::memset(write + 1, 0xFF, 16);
  ASSERT_TRUE(buildRequestFrame(write, 17, 1, 0xAA, 7, frame));
  EXPECT_EQ(frameBytes(frame + 2, 3), (std::vector<uint8_t>{0x56, 0x13, 0xEC}));
  EXPECT_EQ(frame[5], 7);
  EXPECT_EQ(frame[23], 0x54);
  EXPECT_EQ(frame[24], 0x10);
  EXPECT_TRUE(allZero(frame, 25, kFrameBufferSize));

  const uint8_t verify[9] = {0x65, 0x3D, 0xBE, 0xDB, 0xCA, 0x3D, 0xBE, 0xDB, 0xCA};
  ASSERT_TRUE(buildRequestFrame(verify, 9, 0, 0x12, 3, frame));
  EXPECT_EQ(frameBytes(frame, 5), (std::vector<uint8_t>{0xB2, 0x12, 0x55, 0x0B, 0xF4}));

  const uint8_t setProtocol[2] = {0x62, 0x01};
  ASSERT_TRUE(buildRequestFrame(setProtocol, 2, 0, 0xAA, 3, frame));
  EXPECT_EQ(frameBytes(frame + 3, 2), (std::vector<uint8_t>{0x04, 0xFB}));
  EXPECT_EQ(frameBytes(frame + 8, 2), (std::vector<uint8_t>{0x63, 0x00}));

  ASSERT_TRUE(buildRequestFrame(nullptr, 0, 0, 0xAA, 9, frame));
  EXPECT_EQ(frameBytes(frame + 3, 5), (std::vector<uint8_t>{0x02, 0xFD, 0x09, 0x00, 0x00}));

  // The largest payload that fits still leaves its checksum inside the report.
  uint8_t big[26];
  std::memset(big, 0x80, sizeof big);
  ASSERT_TRUE(buildRequestFrame(big, 25, 0, 0xAA, 1, frame));
  EXPECT_EQ(frameBytes(frame + 31, 2), (std::vector<uint8_t>{0x80, 0x0C}));
  std::memset(frame, 0x5A, sizeof frame);
  EXPECT_FALSE(buildRequestFrame(big, 26, 0, 0xAA, 1, frame));
  EXPECT_EQ(frame[0], 0x5A);
}

TEST(RequestFrame, SequenceSkipsZero) {
  EXPECT_EQ(nextFrameSequence(1), 2);
  EXPECT_EQ(nextFrameSequence(254), 255);
  EXPECT_EQ(nextFrameSequence(255), 1);
}

class TransactionTest : public ::testing::Test {
 protected:
  HidDevice* listOne(const DeviceModelConfig& config) {
    id_ = platform_.addDevice(config);
    manager_.refreshDevices();
    return manager_.firstDevice();
  }
  SimulatedPlatform platform_;
  CHidManager manager_{platform_, scannerFilter()};
  TransactionLink link_;
  size_t id_ = 0;
};

TEST_F(TransactionTest, SendsFramesAndAdvancesSequence) {
  HidDevice* device = listOne(scannerConfig("QS-100", "V1", kModeBootloader));
  ASSERT_NE(device, nullptr);
  device->protocolMask = 0x5C;
  const uint8_t getInfo[] = {0x61};
  uint8_t response[kFrameBufferSize] = {};
  uint8_t bytesRead = 0xEE;

  // Every link starts at 1; this one is moved on to the wrap.
  EXPECT_EQ(link_.frameSequence, 1);
  link_.frameSequence = 255;
  ASSERT_EQ(sendTransaction(link_, device, getInfo, 1, 0, response, &bytesRead), kTransactionOk);
  EXPECT_EQ(link_.frameSequence, 1);
  ASSERT_EQ(sendTransaction(link_, device, getInfo, 1, 0, response, &bytesRead), kTransactionOk);
  EXPECT_EQ(link_.frameSequence, 2);

  const std::vector<Report>& log = platform_.frameLog(id_);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0][1], 0x5C);
  EXPECT_EQ(log[0][5], 255);
  EXPECT_EQ(log[1][5], 1);

  EXPECT_EQ(response[0], kResponseReportId);
  EXPECT_EQ(response[6], kResponseMarker);
  EXPECT_EQ(response[8], 0x61);
  EXPECT_TRUE(allZero(response, kReportSize, kFrameBufferSize));
}

TEST_F(TransactionTest, FailuresLeaveResponseUntouched) {
  DeviceModelConfig config = scannerConfig("QS-100", "V1", kModeBootloader);
  config.faults.push_back({FaultKind::kNoAnswer, 0x61, 1, 1, 0});
  config.faults.push_back({FaultKind::kLateAnswer, 0x61, 2, 1, 1500});
  HidDevice* device = listOne(config);
  ASSERT_NE(device, nullptr);
  const uint8_t getInfo[] = {0x61};
  uint8_t response[kFrameBufferSize] = {};
  uint8_t bytesRead = 0;

  int64_t start = platform_.monotonicMilliseconds();
  EXPECT_EQ(sendTransaction(link_, device, getInfo, 1, 0, response, &bytesRead), kTransactionTimeout);
  EXPECT_EQ(platform_.monotonicMilliseconds() - start, 1000);
  EXPECT_TRUE(allZero(response, 0, kFrameBufferSize));
  EXPECT_EQ(link_.frameSequence, 2);

  // An answer later than the read wait is a time-out too, and the stale answer
  // is flushed before the next request rather than taken for its answer.
  EXPECT_EQ(sendTransaction(link_, device, getInfo, 1, 0, response, &bytesRead), kTransactionTimeout);
  platform_.advance(600);
  const uint8_t readVersion[] = {0x60};
  ASSERT_EQ(sendTransaction(link_, device, readVersion, 1, 0, response, &bytesRead), kTransactionOk);
  EXPECT_EQ(response[8], 0x60);

  // A payload that cannot fit one report is refused before anything is sent.
  uint8_t big[26] = {0x64};
  std::memset(response, 0, sizeof response);
  size_t framesBefore = platform_.frameLog(id_).size();
  EXPECT_EQ(sendTransaction(link_, device, big, 26, 1, response, &bytesRead), kTransactionFailed);
  EXPECT_EQ(platform_.frameLog(id_).size(), framesBefore);
  EXPECT_EQ(link_.frameSequence, 4);

  // A device that has gone fails at once.
  platform_.removeDevice(id_);
  start = platform_.monotonicMilliseconds();
  EXPECT_EQ(sendTransaction(link_, device, getInfo, 1, 0, response, &bytesRead), kTransactionFailed);
  EXPECT_EQ(platform_.monotonicMilliseconds(), start);
  EXPECT_TRUE(allZero(response, 0, kFrameBufferSize));
}

// Sends of one chunk, as the update resends it: the same payload each time.
class HeldWriteTransactionTest : public TransactionTest {
 protected:
  HidDevice* listHolding(uint32_t holdMs) {
    DeviceModelConfig config = scannerConfig("QS-100", "V1", kModeBootloader);
    config.faults.push_back({FaultKind::kHeldWrite, CmdWriteData, 1, 1, holdMs});
    return listOne(config);
  }
  TransactionStatus sendChunk(HidDevice* device) {
    uint8_t response[kFrameBufferSize] = {};
    uint8_t bytesRead = 0;
    const int64_t start = platform_.monotonicMilliseconds();
    const TransactionStatus status =
        sendTransaction(link_, device, chunk_, sizeof chunk_, 1, response, &bytesRead);
    took_ = platform_.monotonicMilliseconds() - start;
    if (status == kTransactionOk) echo_ = response[kOffsetEcho];
    return status;
  }
  size_t chunksReceived() { return platform_.model(id_).commandCount(CmdWriteData); }
  const uint8_t chunk_[17] = {CmdWriteData, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  int64_t took_ = 0;
  uint8_t echo_ = 0;
};

TEST_F(HeldWriteTransactionTest, AHeldWriteTheDeviceTakesLaterIsTheResendsWrite) {
  HidDevice* device = listHolding(2500);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(sendChunk(device), kTransactionTimeout);
  EXPECT_EQ(took_, 1000);
  // Still held: the resend writes nothing and waits no longer than a write.
  EXPECT_EQ(sendChunk(device), kTransactionTimeout);
  EXPECT_EQ(took_, 1000);
  EXPECT_EQ(chunksReceived(), 0u);
  // Taken half a second into the third send, whose answer it then is.
  EXPECT_EQ(sendChunk(device), kTransactionOk);
  EXPECT_EQ(took_, 500);
  EXPECT_EQ(echo_, CmdWriteData);
  EXPECT_EQ(chunksReceived(), 1u);
  EXPECT_EQ(platform_.model(id_).storedImage().size(), 16u);
  EXPECT_EQ(platform_.heldWrites().held, 1u);
  EXPECT_EQ(platform_.heldWrites().behind, 0u);
  // Every send took a sequence number of its own, written or not.
  EXPECT_EQ(link_.frameSequence, 4);
  // The next chunk goes out as usual.
  EXPECT_EQ(sendChunk(device), kTransactionOk);
  EXPECT_EQ(chunksReceived(), 2u);
}

TEST_F(HeldWriteTransactionTest, ARefusedWriteIsNotWrittenAgain) {
  // Held past the system's own five seconds: the device never takes it.
  HidDevice* device = listHolding(60000);
  ASSERT_NE(device, nullptr);
  int64_t total = 0;
  for (int send = 1; send <= 6; ++send) {
    EXPECT_EQ(sendChunk(device), kTransactionTimeout) << "send " << send;
    total += took_;
  }
  // Five sends of a second each; the system gave up on the write as the
  // fifth ended, and the sixth writes nothing behind it.
  EXPECT_EQ(total, 5000);
  EXPECT_EQ(took_, 0);
  EXPECT_EQ(chunksReceived(), 0u);
  EXPECT_EQ(platform_.heldWrites().held, 1u);
  EXPECT_EQ(platform_.heldWrites().behind, 0u);
  EXPECT_EQ(platform_.heldWrites().lastEndUs, 5000 * 1000);
  // Another request is written as usual.
  const uint8_t getInfo[] = {CmdGetInfo};
  uint8_t response[kFrameBufferSize] = {};
  EXPECT_EQ(sendTransaction(link_, device, getInfo, 1, 0, response, nullptr), kTransactionOk);
}

TEST_F(HeldWriteTransactionTest, AnotherRequestWritesNothingWhileAWriteIsOnItsWay) {
  HidDevice* device = listHolding(1400);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(sendChunk(device), kTransactionTimeout);
  const uint8_t getInfo[] = {CmdGetInfo};
  uint8_t response[kFrameBufferSize] = {};
  // The held chunk is taken 400 ms into this exchange; its answer is no
  // answer to this request.
  int64_t start = platform_.monotonicMilliseconds();
  EXPECT_EQ(sendTransaction(link_, device, getInfo, 1, 0, response, nullptr), kTransactionTimeout);
  EXPECT_EQ(platform_.monotonicMilliseconds() - start, 400);
  EXPECT_EQ(response[0], 0);
  ASSERT_EQ(sendTransaction(link_, device, getInfo, 1, 0, response, nullptr), kTransactionOk);
  EXPECT_EQ(response[kOffsetEcho], CmdGetInfo);
  const std::vector<Report>& log = platform_.frameLog(id_);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0][kOffsetPayload], CmdWriteData);
  EXPECT_EQ(log[1][kOffsetPayload], CmdGetInfo);
  EXPECT_EQ(platform_.heldWrites().behind, 0u);
}

TEST_F(HeldWriteTransactionTest, ADeviceThatGoesWhileHoldingAWriteFailsIt) {
  HidDevice* device = listHolding(3000);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(sendChunk(device), kTransactionTimeout);
  platform_.removeDevice(id_);
  EXPECT_EQ(sendChunk(device), kTransactionFailed);
  EXPECT_EQ(took_, 0);
  EXPECT_EQ(sendChunk(device), kTransactionFailed);
  EXPECT_EQ(chunksReceived(), 0u);
}

}  // namespace
