#include "sim/device_model.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "hid/transaction.h"
#include "tests/sim_support.h"
#include "update/commands.h"

namespace {

DeviceModelConfig bootConfig() {
  return scannerConfig("QS-100", "V1", kModeBootloader);
}

DeviceReply send(DeviceModel& device, std::vector<uint8_t> payload, uint8_t flag = 0,
                 uint8_t sequence = 1) {
  uint8_t frame[kFrameBufferSize];
  EXPECT_TRUE(buildRequestFrame(payload.data(), static_cast<uint8_t>(payload.size()), flag, 0xAA,
                                sequence, frame));
  return device.receive(frame, kReportSize);
}

TEST(DeviceModel, AnswersLikeTheBootloader) {
  EXPECT_EQ(deviceImageCrc(reinterpret_cast<const uint8_t*>("abc"), 3), 0xCADBBE3Du);

  DeviceModelConfig config = bootConfig();
  config.protocolVersion = 0x0102;
  config.capabilityMask = 0x03;
  DeviceModel device(config);

  DeviceReply info = send(device, {CmdGetInfo}, 0, 42);
  ASSERT_EQ(info.reports.size(), 1u);
  const Report& r = info.reports[0];
  EXPECT_EQ(std::vector<uint8_t>(r.begin(), r.begin() + 14),
            (std::vector<uint8_t>{0xB1, 0xAA, 0x55, 0x0A, 0xF5, 42, 0xA3, 0x00, 0x61, 0x00, 0x02,
                                  0x01, 0x03, 0x00}));
  EXPECT_EQ(info.delayMs, 0u);
  EXPECT_EQ(info.event, DeviceModelEvent::kNone);

  // Six version characters and their terminating zero fit one report (length
  // byte 25); seven do not.
  config.version = "123456";
  DeviceModel seven(config);
  DeviceReply one = send(seven, {CmdReadVersion});
  ASSERT_EQ(one.reports.size(), 1u);
  EXPECT_EQ(one.reports[0][kOffsetLength], 25);
  config.version = "1234567";
  DeviceModel eight(config);
  DeviceReply two = send(eight, {CmdReadVersion});
  ASSERT_EQ(two.reports.size(), 2u);
  EXPECT_EQ(two.reports[0][kOffsetLength], 26);
  EXPECT_EQ(two.reports[0][28], '7');
  EXPECT_EQ(two.reports[0][29], 0);  // the text ends before the checksum
  EXPECT_EQ(two.reports[1][kOffsetReportId], 0xB1);

  // A frame the host would never build is logged but not answered.
  uint8_t bad[kFrameBufferSize];
  const uint8_t getInfo[] = {CmdGetInfo};
  buildRequestFrame(getInfo, 1, 0, 0xAA, 1, bad);
  bad[7] = 0x00;  // checksum
  EXPECT_TRUE(device.receive(bad, kReportSize).reports.empty());
  bad[0] = 0xB1;
  EXPECT_TRUE(device.receive(bad, 5).reports.empty());
  EXPECT_EQ(device.receivedFrames().size(), 3u);
  EXPECT_EQ(device.receivedFrames()[2][kOffsetSequence], 0);  // short frame padded with zeros
}

TEST(DeviceModel, StoresAndVerifiesTheImage) {
  DeviceModel device(bootConfig());
  EXPECT_EQ(send(device, {CmdSetProtocol, 0x01}).reports[0][kSetProtocolResultOffset], 0x00);
  EXPECT_EQ(device.protocolSelection(), 1);
  send(device, {CmdStartUpdate}, 1);
  send(device, {CmdWriteData, 'a', 'b'}, 1);
  send(device, {CmdWriteData, 'c'}, 1);
  EXPECT_EQ(device.storedImage(), (std::vector<uint8_t>{'a', 'b', 'c'}));

  uint8_t verify[9];
  buildVerifyPayload(0xCADBBE3D, 0x12345678, verify);  // a container's own check word
  DeviceReply pass = send(device, std::vector<uint8_t>(verify, verify + 9));
  EXPECT_EQ(pass.reports[0][kOffsetEcho], CmdVerify);
  EXPECT_EQ(pass.reports[0][kVerifyResultOffset], 0x00);
  buildVerifyPayload(0xCADBBE3E, 0xCADBBE3D, verify);
  EXPECT_EQ(send(device, std::vector<uint8_t>(verify, verify + 9)).reports[0][kVerifyResultOffset],
            0x01);

  send(device, {CmdFinish});
  EXPECT_TRUE(device.finished());
  send(device, {CmdStartUpdate}, 1);
  EXPECT_TRUE(device.storedImage().empty());
  EXPECT_EQ(device.commandCount(CmdStartUpdate), 2u);

  DeviceModelConfig failing = bootConfig();
  failing.setProtocolResult = 1;
  failing.verify = VerifyBehaviour::kAlwaysFail;
  DeviceModel refuses(failing);
  EXPECT_EQ(send(refuses, {CmdSetProtocol, 0x00}).reports[0][kSetProtocolResultOffset], 0x01);
  buildVerifyPayload(deviceImageCrc(nullptr, 0), 0, verify);
  EXPECT_EQ(send(refuses, std::vector<uint8_t>(verify, verify + 9)).reports[0][kVerifyResultOffset],
            0x01);
}

TEST(DeviceModel, SwitchesToBootloader) {
  DeviceModelConfig config = bootConfig();
  config.startMode = kModeApplication;
  config.reenumerateDelayMs = 900;
  DeviceModel device(config);
  EXPECT_EQ(device.productId(), 0x1234);
  EXPECT_EQ(send(device, {CmdGetInfo}).reports[0][kInfoApplicationFlagOffset], 0x01);
  // Bootloader commands are refused while the application runs.
  send(device, {CmdWriteData, 1, 2}, 1);
  EXPECT_TRUE(device.storedImage().empty());

  DeviceReply enter = send(device, {CmdEnterBootloader});
  EXPECT_EQ(enter.event, DeviceModelEvent::kReenumerate);
  EXPECT_EQ(enter.eventDelayMs, 900u);
  EXPECT_EQ(device.mode(), kModeBootloader);
  EXPECT_EQ(device.productId(), 0x1000);
  EXPECT_EQ(send(device, {CmdGetInfo}).reports[0][kInfoApplicationFlagOffset], 0x00);
  // Asking a bootloader to switch again changes nothing.
  EXPECT_EQ(send(device, {CmdEnterBootloader}).event, DeviceModelEvent::kNone);

  // A bootloader of another model says so once switched, not before.
  config.bootModel = "QS-BL";
  DeviceModel other(config);
  auto modelOf = [](const DeviceReply& reply) {
    return std::string(reinterpret_cast<const char*>(reply.reports[0].data()) + kVersionModelOffset);
  };
  EXPECT_EQ(modelOf(send(other, {CmdReadVersion})), "QS-100");
  send(other, {CmdEnterBootloader});
  EXPECT_EQ(modelOf(send(other, {CmdReadVersion})), "QS-BL");

  config.neverReturnAfterSwitch = true;
  DeviceModel lost(config);
  EXPECT_EQ(send(lost, {CmdEnterBootloader}).event, DeviceModelEvent::kVanish);
}

// A real board restarts into its application after the finish, and reports
// the version it was given; in its application a finish does nothing.
TEST(DeviceModel, RestartsIntoItsApplicationAfterTheFinish) {
  DeviceModelConfig config = bootConfig();
  config.restartAfterFinish = true;
  config.restartDelayMs = 700;
  config.versionAfterFinish = "V2";
  DeviceModel device(config);
  const DeviceReply finish = send(device, {CmdFinish});
  EXPECT_EQ(finish.reports.size(), 1u);  // answered before it goes
  EXPECT_EQ(finish.event, DeviceModelEvent::kRestart);
  EXPECT_EQ(finish.eventDelayMs, 700u);
  EXPECT_TRUE(device.finished());
  EXPECT_EQ(device.mode(), kModeApplication);
  EXPECT_EQ(device.productId(), 0x1234);
  const DeviceReply version = send(device, {CmdReadVersion});
  EXPECT_EQ(version.reports[0][kVersionTextOffset], 'V');
  EXPECT_EQ(version.reports[0][kVersionTextOffset + 1], '2');
  EXPECT_EQ(send(device, {CmdFinish}).event, DeviceModelEvent::kNone);

  // The fixture's operator takes it out instead, and puts the next one in.
  config.nextBoardAfterFinishMs = 1000;
  DeviceModel swapped(config);
  const DeviceReply out = send(swapped, {CmdFinish});
  EXPECT_EQ(out.event, DeviceModelEvent::kTakenOut);
  EXPECT_EQ(out.eventDelayMs, 1000u);
}

TEST(DeviceModel, InjectedFaults) {
  DeviceModelConfig config = bootConfig();
  config.faults = {
      {FaultKind::kNoAnswer, CmdWriteData, 2, 3, 0},
      {FaultKind::kLateAnswer, CmdGetInfo, 1, 1, 1500},
      {FaultKind::kWrongMarker, CmdGetInfo, 2, 1, 0},
      {FaultKind::kWrongEcho, CmdGetInfo, 3, 1, 0},
      {FaultKind::kGarbage, CmdGetInfo, 4, 0, 0},
  };
  config.vanishAfterDataFrames = 3;
  DeviceModel device(config);

  DeviceReply late = send(device, {CmdGetInfo});
  EXPECT_EQ(late.delayMs, 1500u);
  EXPECT_EQ(late.reports[0][kOffsetMarker], 0xA3);
  EXPECT_NE(send(device, {CmdGetInfo}).reports[0][kOffsetMarker], 0xA3);
  DeviceReply echo = send(device, {CmdGetInfo});
  EXPECT_EQ(echo.reports[0][kOffsetMarker], 0xA3);
  EXPECT_NE(echo.reports[0][kOffsetEcho], CmdGetInfo);
  // Garbage from the fourth frame on, every time.
  for (int i = 0; i < 3; ++i) {
    DeviceReply junk = send(device, {CmdGetInfo});
    ASSERT_EQ(junk.reports.size(), 1u);
    EXPECT_EQ(junk.reports[0][0], 0xB1);
    EXPECT_NE(junk.reports[0][kOffsetMarker], 0xA3);
  }

  // Data frames 2, 3 and 4 are lost; the device vanishes after its third
  // answered one.
  EXPECT_EQ(send(device, {CmdWriteData, 1}, 1).reports.size(), 1u);
  for (uint8_t b = 2; b <= 4; ++b) EXPECT_TRUE(send(device, {CmdWriteData, b}, 1).reports.empty());
  EXPECT_EQ(send(device, {CmdWriteData, 5}, 1).event, DeviceModelEvent::kNone);
  DeviceReply last = send(device, {CmdWriteData, 6}, 1);
  EXPECT_EQ(last.reports.size(), 1u);
  EXPECT_EQ(last.event, DeviceModelEvent::kVanish);
  EXPECT_EQ(device.storedImage(), (std::vector<uint8_t>{1, 5, 6}));
  EXPECT_EQ(device.receivedFrames().size(), 12u);

  // A device that stops taking reports answers the last one it takes.
  config.faults.clear();
  config.vanishAfterDataFrames = 0;
  config.stopTakingAfterDataFrames = 2;
  DeviceModel stalling(config);
  EXPECT_EQ(send(stalling, {CmdWriteData, 1}, 1).event, DeviceModelEvent::kNone);
  DeviceReply stall = send(stalling, {CmdWriteData, 2}, 1);
  EXPECT_EQ(stall.reports.size(), 1u);
  EXPECT_EQ(stall.event, DeviceModelEvent::kStopTaking);
}

}  // namespace
