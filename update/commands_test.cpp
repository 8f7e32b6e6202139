#include "update/commands.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "hid/hid_manager.h"
#include "tests/scripted_connection.h"
#include "sim/simulated_platform.h"
#include "tests/sim_support.h"

namespace {

// A version answer: marker, echo, model at 10, version bytes from 22 on
// (those past 32 go into the continuation report).
struct VersionAnswer {
  Report first{};
  Report second{};
  VersionAnswer(uint8_t lengthByte, const std::string& model, const std::string& version) {
    uint8_t buffer[kFrameBufferSize] = {};
    buffer[0] = kResponseReportId;
    buffer[3] = lengthByte;
    buffer[6] = kResponseMarker;
    buffer[8] = CmdReadVersion;
    std::memcpy(buffer + 10, model.data(), model.size());
    std::memcpy(buffer + 22, version.data(), version.size());
    std::memcpy(first.data(), buffer, kReportSize);
    second[0] = kResponseReportId;
    std::memcpy(second.data() + 1, buffer + kReportSize, kReportSize - 1);
  }
};

class ReadVersionTest : public ::testing::Test {
 protected:
  ReadVersionTest() {
    auto connection = std::make_unique<ScriptedConnection>();
    script = connection.get();
    device.handle = std::move(connection);
    device.isOpen = true;
    std::strcpy(model, "old-model");
    std::strcpy(version, "old-version");
  }
  TransactionLink link;
  HidDevice device;
  ScriptedConnection* script = nullptr;
  char model[64] = {};
  char version[64] = {};
};

TEST_F(ReadVersionTest, SingleReportAndContinuation) {
  // Length 25: one report; the version is what fits up to byte 32.
  VersionAnswer shortAnswer(25, "QS-100", "0123456789ABCDEFGHIJ");
  script->answer(shortAnswer.first);
  script->answer(shortAnswer.second);  // must not be read
  EXPECT_EQ(readFirmwareVersion(link, &device, model, version), 0);
  EXPECT_STREQ(model, "QS-100");
  EXPECT_STREQ(version, "0123456789A");
  EXPECT_EQ(script->readTimeouts, (std::vector<uint32_t>{1000}));
  ASSERT_EQ(script->written.size(), 1u);
  EXPECT_EQ(script->written[0][kOffsetPayload], CmdReadVersion);
  EXPECT_EQ(script->written[0][kOffsetFlag], 0x55);

  // Length 26: bytes 1 to 9 of a second report are characters 12 to 20.
  script->reads.clear();
  VersionAnswer longAnswer(26, "ABCDEFGHIJ", "0123456789ABCDEFGHIJ");
  script->answer(longAnswer.first);
  script->answer(longAnswer.second);
  EXPECT_EQ(readFirmwareVersion(link, &device, model, version), 0);
  EXPECT_STREQ(model, "ABCDEFGHIJ");
  EXPECT_STREQ(version, "0123456789ABCDEFGHIJ");
  EXPECT_EQ(script->readTimeouts, (std::vector<uint32_t>{1000, 1000, 500}));
  // The continuation is read without a new request or a flush.
  EXPECT_EQ(script->written.size(), 2u);
  EXPECT_EQ(script->flushes, 2);
  EXPECT_EQ(script->cancels, 0);
}

TEST_F(ReadVersionTest, LateContinuationKeepsTheHead) {
  VersionAnswer answer(40, "", "0123456789ABCDEFGHIJ");
  script->answer(answer.first);
  script->fail(kHidWaitTimeout);
  EXPECT_EQ(readFirmwareVersion(link, &device, model, version), 0);
  EXPECT_STREQ(model, "");
  EXPECT_STREQ(version, "0123456789A");
  EXPECT_EQ(script->cancels, 1);

  script->answer(answer.first);
  script->fail(kHidWaitFailed);
  EXPECT_EQ(readFirmwareVersion(link, &device, model, version), 0);
  EXPECT_STREQ(version, "0123456789A");
  EXPECT_EQ(script->cancels, 2);
}

TEST_F(ReadVersionTest, MalformedAnswersLeaveBuffersAlone) {
  VersionAnswer noMarker(20, "QS-100", "V1");
  noMarker.first[6] = 0xA2;
  script->answer(noMarker.first);
  EXPECT_EQ(readFirmwareVersion(link, &device, model, version), 0);
  EXPECT_STREQ(model, "old-model");
  EXPECT_STREQ(version, "old-version");

  VersionAnswer wrongEcho(20, "QS-100", "V1");
  wrongEcho.first[8] = CmdGetInfo;
  script->answer(wrongEcho.first);
  EXPECT_EQ(readFirmwareVersion(link, &device, model, version), 0);
  EXPECT_STREQ(model, "old-model");

  // Failed exchanges hand their status back and touch nothing.
  script->fail(kHidWaitTimeout);
  EXPECT_EQ(readFirmwareVersion(link, &device, model, version), 2);
  script->fail(kHidWaitFailed);
  EXPECT_EQ(readFirmwareVersion(link, &device, model, version), 3);
  script->writeResult = kHidWaitTimeout;
  EXPECT_EQ(readFirmwareVersion(link, &device, model, version), 2);
  EXPECT_STREQ(model, "old-model");
  EXPECT_STREQ(version, "old-version");
  EXPECT_EQ(script->cancels, 3);
}

TEST(CommandSet, PayloadsAndResponseChecks) {
  uint8_t payload[9];
  ASSERT_EQ(buildVerifyPayload(0xCADBBE3D, 0xCADBBE3D, payload), 9);
  EXPECT_EQ(std::vector<uint8_t>(payload, payload + 9),
            (std::vector<uint8_t>{0x65, 0x3D, 0xBE, 0xDB, 0xCA, 0x3D, 0xBE, 0xDB, 0xCA}));
  ASSERT_EQ(buildVerifyPayload(0x01020304, 0xA0B0C0D0, payload), 9);
  EXPECT_EQ(std::vector<uint8_t>(payload, payload + 9),
            (std::vector<uint8_t>{0x65, 0x04, 0x03, 0x02, 0x01, 0xD0, 0xC0, 0xB0, 0xA0}));

  uint8_t response[kFrameBufferSize] = {};
  EXPECT_FALSE(isWellFormedResponse(response, CmdGetInfo));
  response[6] = 0xA3;
  response[8] = 0x61;
  EXPECT_TRUE(isWellFormedResponse(response, CmdGetInfo));
  EXPECT_FALSE(isWellFormedResponse(response, CmdVerify));
}

TEST(CommandSet, VersionFromSimulatedDevice) {
  SimulatedPlatform platform;
  platform.addDevice(scannerConfig("QS-100", "V1.2"));
  platform.addDevice(scannerConfig("LONGMODEL-X", "2026.12.07-release-B7"));
  CHidManager manager(platform, scannerFilter());
  TransactionLink link;
  manager.refreshDevices();
  char model[64] = {};
  char version[64] = {};
  HidDevice* first = manager.firstDevice();
  ASSERT_EQ(readFirmwareVersion(link, first, model, version), 0);
  EXPECT_STREQ(model, "QS-100");
  EXPECT_STREQ(version, "V1.2");
  // Cut to the field widths, the tail through the continuation report.
  ASSERT_EQ(readFirmwareVersion(link, manager.nextDevice(), model, version), 0);
  EXPECT_STREQ(model, "LONGMODEL-");
  EXPECT_STREQ(version, "2026.12.07-release-B");
}

}  // namespace
