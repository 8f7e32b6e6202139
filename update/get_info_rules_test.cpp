// How the session reads the answer to its first CmdGetInfo: the application
// flag counts by the length byte alone, the version only from a well-formed
// answer. A scripted device gives answers the device model never would.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/update_context.h"
#include "hid/hid_platform.h"
#include "hid/transaction.h"
#include "tests/capture_listener.h"
#include "tests/sim_support.h"
#include "update/commands.h"
#include "update/update_session.h"

namespace {

// Answers each command with a fixed report; records the command codes.
class ScriptedPlatform : public HidPlatform, public HidConnection {
 public:
  std::map<uint8_t, Report> answers;
  std::vector<uint8_t> received;

  bool enumerateInterfaces(std::vector<std::string>* paths) override {
    *paths = {"scripted/0"};
    return true;
  }
  bool isPresent(const std::string&) override { return true; }
  std::unique_ptr<HidConnection> open(const std::string&, HidOpenPurpose, HidOpenError* error,
                                      std::string*) override {
    *error = kHidOpenOk;
    return std::make_unique<Proxy>(this);
  }
  bool describe(const std::string&, HidInterfaceInfo*) override { return false; }
  const char* permissionAdvice() const override { return ""; }
  int64_t monotonicMilliseconds() override { return now_; }
  void sleepMilliseconds(uint32_t ms) override { now_ += ms; }

  bool readAttributes(uint16_t* vendorId, uint16_t* productId) override {
    *vendorId = 0xABCD;
    *productId = 0x1000;  // the bootloader ids
    return true;
  }
  bool readCaps(uint16_t* usagePage, uint16_t* usage) override {
    *usagePage = 0x8C;
    *usage = 0x01;
    return true;
  }
  void flushInput() override {}
  HidWaitResult writeReport(const uint8_t* report, uint32_t) override {
    last_ = report[6];
    received.push_back(last_);
    return kHidWaitDone;
  }
  HidWaitResult readReport(uint8_t* report, uint32_t, uint32_t* immediateCount) override {
    *immediateCount = 0;
    auto it = answers.find(last_);
    if (it == answers.end()) return kHidWaitTimeout;
    std::memcpy(report, it->second.data(), kReportSize);
    return kHidWaitDone;
  }
  void cancelIo() override {}

 private:
  // The platform hands out connections it keeps ownership of.
  struct Proxy : HidConnection {
    explicit Proxy(ScriptedPlatform* p) : p(p) {}
    bool readAttributes(uint16_t* v, uint16_t* pid) override { return p->readAttributes(v, pid); }
    bool readCaps(uint16_t* page, uint16_t* usage) override { return p->readCaps(page, usage); }
    void flushInput() override {}
    HidWaitResult writeReport(const uint8_t* r, uint32_t t) override {
      return p->writeReport(r, t);
    }
    HidWaitResult readReport(uint8_t* r, uint32_t t, uint32_t* n) override {
      return p->readReport(r, t, n);
    }
    void cancelIo() override {}
    ScriptedPlatform* p;
  };
  int64_t now_ = 0;
  uint8_t last_ = 0;
};

Report answer(uint8_t command, std::vector<uint8_t> fields, uint8_t length,
              bool wellFormed = true) {
  Report r{};
  r[0] = 0xB1;
  r[3] = length;
  r[6] = wellFormed ? 0xA3 : 0x00;
  r[8] = command;
  for (size_t i = 0; i < fields.size(); ++i) r[9 + i] = fields[i];
  return r;
}

class GetInfoRulesTest : public testing::Test {
 protected:
  void SetUp() override {
    static_cast<DeviceFilter&>(context_) = scannerFilter();
    path_ = std::filesystem::temp_directory_path() /
            ("tavrin_getinfo_" + std::to_string(getpid()) + ".bin");
    // Raw image of 20 bytes naming model M1.
    const char image[20] = {'A', 'B', 'a', 'b', 'Q', 'X', 'F', 'W', 1, 4, 'M', '1', 0, 0};
    std::ofstream(path_, std::ios::binary).write(image, sizeof image);
    context_.firmwarePath = path_.string();
    Report version = answer(CmdReadVersion, {}, 0x20);
    std::memcpy(&version[10], "M1", 2);
    std::memcpy(&version[22], "9", 1);
    device_.answers[CmdReadVersion] = version;
    for (uint8_t c : {CmdSetProtocol, CmdStartUpdate, CmdWriteData, CmdFinish})
      device_.answers[c] = answer(c, {0}, 3);
    device_.answers[CmdVerify] = answer(CmdVerify, {0, 0}, 4);
  }
  void TearDown() override { std::filesystem::remove(path_); }
  std::string run() {
    CaptureListener listener;
    UpdateSetup setup;
    setup.filter = context_;
    setup.platform = &device_;
    setup.listener = &listener;
    FirmwareInfo info;
    result_ = runFileUpdate(context_.firmwarePath, TextEncoding::kUtf8, context_, info, context_,
                            setup);
    return listener.err;
  }
  bool updateSucceeded() const { return result_.updated(); }

  UpdateContext context_;
  UpdateResult result_;
  ScriptedPlatform device_;
  std::filesystem::path path_;
};

TEST_F(GetInfoRulesTest, LengthByteNineNeverSwitches) {
  // Byte 13 (the application flag) is set, but the length byte is 9.
  device_.answers[CmdGetInfo] = answer(CmdGetInfo, {0, 2, 0, 1, 1}, 9);
  std::string err = run();
  EXPECT_EQ(err.find("Swithing"), std::string::npos) << err;
  EXPECT_TRUE(updateSucceeded()) << err;
  EXPECT_EQ(device_.received[2], CmdSetProtocol);
}

TEST_F(GetInfoRulesTest, LengthByteTenSwitchesEvenWithoutTheMarker) {
  device_.answers[CmdGetInfo] = answer(CmdGetInfo, {0, 1, 0, 1, 1}, 10, /*wellFormed=*/false);
  std::string err = run();
  EXPECT_TRUE(startsWith(err, "Deveice Firmware Version: 9\nSwithing to bootloader...")) << err;
  EXPECT_EQ(device_.received[2], CmdEnterBootloader);
}

TEST_F(GetInfoRulesTest, VersionIsReadLittleEndian) {
  // 02 01 is version 0x0102: unknown.
  device_.answers[CmdGetInfo] = answer(CmdGetInfo, {0, 2, 1, 0, 0}, 9);
  EXPECT_EQ(run(), "Deveice Firmware Version: 9\nError: Unknown protocol version\n");
  EXPECT_EQ(context_.imageData, nullptr);
}

}  // namespace
