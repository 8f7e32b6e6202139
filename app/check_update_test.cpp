#include "app/check_update.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/exit_status.h"
#include "app/message.h"
#include "app/run_report.h"
#include "sim/simulated_platform.h"
#include "tests/image_builders.h"
#include "tests/sim_support.h"
#include "update/commands.h"

namespace {

class CheckUpdateTest : public testing::Test {
 protected:
  void SetUp() override {
    // Model QS-100, version 1.2.
    std::string image(
        "ABabQXFW\x01\x08QS-100\0\x02\x05"
        "1.2\0\0",
        24);
    image.resize(64, '\x33');
    testimage::writeFile(dir_ / "fw.bin", image);
    static_cast<DeviceFilter&>(context_) = scannerFilter();
    context_.firmwarePath = (dir_ / "fw.bin").string();
  }
  size_t plug(const std::string& port, DeviceModelConfig config) {
    return platform_.addDevice(config, "", port);
  }
  int run(bool json = false) {
    CommandLine line;
    line.check = true;
    line.json = json;
    RunReport report;
    const char* argv[] = {"tavrin"};
    report.start(line, 1, argv);
    MessageSink sink;
    const int status =
        runUpdateCheck(context_, line, platform_, report, TextEncoding::kUtf8, nullptr);
    err_ = sink.err;
    out_ = sink.out;
    return status;
  }

  testimage::TempDir dir_;
  UpdateContext context_;
  SimulatedPlatform platform_;
  std::string err_, out_;
};

TEST_F(CheckUpdateTest, TellsWhatAnUpdateWouldDoAndSwitchesNothing) {
  DeviceModelConfig mute = scannerConfig("QS-100", "1.0");
  mute.faults.push_back({FaultKind::kNoAnswer, CmdReadVersion, 1, 0, 0});
  const std::vector<size_t> devices = {
      plug("1-1", scannerConfig("QS-100", "1.1")),
      plug("1-2", scannerConfig("QS-100", "1.2.0")),
      plug("1-3", scannerConfig("QS-100", "1.10")),
      plug("1-4", scannerConfig("QS-100", "nightly")),
      plug("1-5", scannerConfig("QS-200", "0.1")),
      plug("1-6", scannerConfig("QS-100", "9.9", kModeBootloader)),
      plug("1-7", mute),
  };
  EXPECT_EQ(run(), kExitFailure);
  EXPECT_EQ(out_,
            "PORT  SERIAL   VERSION  ACTION\n"
            "1-1   SIM0001  1.1      update to 1.2\n"
            "1-2   SIM0002  1.2.0    up to date\n"
            "1-3   SIM0003  1.10     downgrade to 1.2\n"
            "1-4   SIM0004  nightly  incomparable with 1.2\n"
            "1-5   SIM0005  0.1      wrong model (QS-200)\n"
            "1-6   SIM0006  9.9      update (waits in its bootloader)\n"
            "1-7   SIM0007  -        no answer\n");
  // The version request alone, never the switch.
  for (size_t id : devices)
    for (const Report& frame : platform_.frameLog(id))
      EXPECT_EQ(frame[kOffsetPayload], CmdReadVersion) << "device " << id;

  EXPECT_EQ(run(true), kExitFailure);
  for (const char* object :
       {"\"port\":\"1-1\",\"serial\":\"SIM0001\",\"model\":\"QS-100\",\"version\":\"1.1\","
        "\"bootloader\":false,\"file-version\":\"1.2\",\"action\":\"update\"}",
        "\"action\":\"up-to-date\"", "\"action\":\"downgrade\"", "\"action\":\"incomparable\"",
        "\"model\":\"QS-200\",\"version\":\"0.1\",\"bootloader\":false,\"file-version\":\"1.2\","
        "\"action\":\"wrong-model\"}",
        "\"bootloader\":true,\"file-version\":\"1.2\",\"action\":\"update\"}",
        "\"model\":\"\",\"version\":\"\",\"bootloader\":false,\"file-version\":\"1.2\","
        "\"action\":\"no-answer\"}"})
    EXPECT_NE(out_.find(object), std::string::npos) << object << "\n" << out_;
}

TEST_F(CheckUpdateTest, ExitStatusCountsTheDevicesOfTheFilesModel) {
  const size_t older = plug("1-1", scannerConfig("QS-100", "1.1"));
  const size_t current = plug("1-2", scannerConfig("QS-100", "1.2"));
  const size_t other = plug("1-3", scannerConfig("QS-200", "7.0"));
  EXPECT_EQ(run(), kExitSuccess) << err_ << out_;
  platform_.removeDevice(older);
  platform_.removeDevice(current);
  EXPECT_EQ(run(), kExitFailure);
  EXPECT_NE(err_.find("Device not connected\n"), std::string::npos) << err_;
  platform_.removeDevice(other);
  EXPECT_EQ(run(), kExitFailure);
  EXPECT_NE(err_.find("No specified VID/PID HID device detected!"), std::string::npos) << err_;
  // A file that does not load stops the check before any device.
  context_.firmwarePath += ".missing";
  EXPECT_EQ(run(true), kExitFailure);
  EXPECT_NE(out_.find("\"reason\":\"invalid-file\""), std::string::npos) << out_;
}

}  // namespace
