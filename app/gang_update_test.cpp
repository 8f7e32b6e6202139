#include "app/gang_update.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "app/command_line.h"
#include "app/exit_status.h"
#include "app/message.h"
#include "app/run_report.h"
#include "sim/simulated_platform.h"
#include "tests/capture_listener.h"
#include "tests/image_builders.h"
#include "tests/sim_support.h"
#include "update/commands.h"

namespace {

// --all over a bench of simulated devices in this process.
class GangUpdateTest : public testing::Test {
 protected:
  void SetUp() override {
    path_ = std::filesystem::temp_directory_path() /
            ("tavrin_gang_" + std::to_string(::getpid()) + ".bin");
    // 100 bytes whose info block names the model QS-100.
    std::string image = std::string("ABabQXFW\x01\x08QS-100\0\0", 18);
    image.resize(100, '\x5A');
    std::ofstream(path_, std::ios::binary) << image;
    static_cast<DeviceFilter&>(context_) = scannerFilter();
    context_.firmwarePath = path_.string();
  }
  void TearDown() override { std::filesystem::remove(path_); }

  size_t plug(const std::string& port, DeviceModelConfig config = scannerConfig()) {
    config.reenumerateDelayMs = 0;
    return platform_.addDevice(config, "", port);
  }
  int run(bool json = false) {
    CommandLine line;
    line.all = true;
    line.json = json;
    line.logPath = logPath_;
    RunReport report;
    const char* argv[] = {"tavrin"};
    report.start(line, 1, argv);
    MessageSink sink;
    const int status = runGangUpdate(context_, line, platform_, report, stop_,
                                     TextEncoding::kUtf8, nullptr);
    err_ = sink.err;
    out_ = sink.out;
    return status;
  }
  std::vector<uint8_t> commands(size_t id) {
    std::vector<uint8_t> codes;
    for (const Report& frame : platform_.frameLog(id)) codes.push_back(frame[kOffsetPayload]);
    return codes;
  }

  std::filesystem::path path_;
  std::string logPath_;
  UpdateContext context_;
  SimulatedPlatform platform_;
  StopRequest stop_;
  std::string err_, out_;
};

TEST_F(GangUpdateTest, EveryDeviceGetsARowAndOnlyTargetsCount) {
  const size_t good = plug("1-1");
  DeviceModelConfig mute = scannerConfig();
  mute.faults.push_back({FaultKind::kNoAnswer, CmdReadVersion, 1, 0, 0});
  const size_t silent = plug("1-2", mute);
  const size_t other = plug("1-3", scannerConfig("QS-200", "9.9"));
  // A device that does not answer is a target that failed: exit 1.
  EXPECT_EQ(run(), kExitFailure) << err_;
  EXPECT_NE(out_.find("\n1-1   SIM0001  V1.2.3  0.0      updated\n"), std::string::npos) << out_;
  EXPECT_NE(out_.find("Error: no answer to the version request (no answer within a second)\n"),
            std::string::npos)
      << out_;
  EXPECT_NE(out_.find("another model (QS-200), not updated\n"), std::string::npos) << out_;
  // Each device received exactly what a single update of it sends: one
  // version request, and the state machine for the target only.
  const std::vector<uint8_t> updated = commands(good);
  EXPECT_EQ(updated,
            (std::vector<uint8_t>{CmdReadVersion, CmdGetInfo, CmdEnterBootloader, CmdReadVersion,
                                  CmdGetInfo, CmdSetProtocol, CmdStartUpdate, CmdWriteData,
                                  CmdWriteData, CmdWriteData, CmdWriteData, CmdWriteData,
                                  CmdWriteData, CmdWriteData, CmdVerify, CmdFinish}));
  EXPECT_EQ(commands(silent), std::vector<uint8_t>{CmdReadVersion});
  EXPECT_EQ(commands(other), std::vector<uint8_t>{CmdReadVersion});
  EXPECT_EQ(platform_.frameLog(good).front()[kOffsetSequence], 1);

  // Another model alone does not count against the run.
  platform_.removeDevice(silent);
  EXPECT_EQ(run(), kExitSuccess) << err_ << out_;
}

TEST_F(GangUpdateTest, APortThatLooksLikeAnOptionIsJustAPort) {
  const size_t a = plug("--version");
  const size_t b = plug("-f");
  EXPECT_EQ(run(), kExitSuccess) << err_;
  EXPECT_NE(err_.find("[--version] Update completed\n"), std::string::npos) << err_;
  EXPECT_NE(err_.find("[-f] Update completed\n"), std::string::npos) << err_;
  EXPECT_EQ(commands(a).back(), CmdFinish);
  EXPECT_EQ(commands(b).back(), CmdFinish);
}

TEST_F(GangUpdateTest, JsonEndsEveryDeviceAndEveryFailedRunWithAResult) {
  plug("1-1");
  DeviceModelConfig mute = scannerConfig();
  mute.faults.push_back({FaultKind::kNoAnswer, CmdReadVersion, 1, 0, 0});
  plug("1-2", mute);
  EXPECT_EQ(run(true), kExitFailure);
  EXPECT_NE(out_.find("{\"device\":\"1-1\",\"event\":\"result\",\"ok\":true,\"reason\":\"updated\""),
            std::string::npos)
      << out_;
  EXPECT_NE(out_.find("{\"device\":\"1-2\",\"event\":\"result\",\"ok\":false,\"reason\":\"no-answer\""),
            std::string::npos)
      << out_;
  EXPECT_EQ(out_.find("PORT"), std::string::npos);  // no table under --json

  // Before any session: no device, then an invalid file.
  SimulatedPlatform empty;
  platform_.removeDevice(0);
  platform_.removeDevice(1);
  EXPECT_EQ(run(true), kExitFailure);
  EXPECT_NE(out_.find("{\"event\":\"result\",\"ok\":false,\"reason\":\"no-device\""),
            std::string::npos)
      << out_;
  context_.firmwarePath += ".missing";
  EXPECT_EQ(run(true), kExitFailure);
  EXPECT_NE(out_.find("{\"event\":\"result\",\"ok\":false,\"reason\":\"invalid-file\""),
            std::string::npos)
      << out_;
}

// What a device says of itself (its version, its port) reaches the console
// and the log by the rule of --list: it cannot forge another device's lines
// nor send the terminal escape sequences.
TEST_F(GangUpdateTest, DeviceTextCannotForgeLines) {
  plug("b-1", scannerConfig("QS-100", "1\n[b-2] FORGED\x1b[2K"));
  plug("b\n2\x1b");
  logPath_ = path_.string() + ".log";
  EXPECT_EQ(run(), kExitSuccess) << err_;
  std::ifstream in(logPath_);
  const std::string log((std::istreambuf_iterator<char>(in)), {});
  std::filesystem::remove(logPath_);
  EXPECT_NE(err_.find("[b-1] Deveice Firmware Version: 1\\x0a[b-2] FORGED\\x1b[2K\n"),
            std::string::npos)
      << err_;
  EXPECT_NE(err_.find("[b\\x0a2\\x1b] Update completed\n"), std::string::npos) << err_;
  EXPECT_NE(log.find("[b-1] version of "), std::string::npos) << log;
  EXPECT_NE(log.find("version=\"1\\x0a[b-2] FORGED\\x1b[2K\""), std::string::npos) << log;
  EXPECT_NE(log.find("Z [b\\x0a2\\x1b] outcome: updated"), std::string::npos) << log;
  // Every line is one of tavrin's own, and none carries a control byte.
  for (const std::string& text : {err_, log, out_}) {
    EXPECT_EQ(text.find("\n[b-2]"), std::string::npos) << text;
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
  }
}

TEST_F(GangUpdateTest, AMixedBenchUnderTheVersionPolicy) {
  // The file is version 1.2.
  std::string image("ABabQXFW\x01\x08QS-100\0\x02\x05" "1.2\0\0", 24);
  image.resize(100, '\x5A');
  testimage::writeFile(path_, image);
  const size_t older = plug("1-1", scannerConfig("QS-100", "1.1"));
  const size_t current = plug("1-2", scannerConfig("QS-100", "V1.2.0"));
  const size_t newer = plug("1-3", scannerConfig("QS-100", "1.10"));
  context_.policy.skipIfCurrent = context_.policy.noDowngrade = true;
  EXPECT_EQ(run(), kExitFailure);
  EXPECT_NE(out_.find("\n1-1   SIM0001  1.1     "), std::string::npos) << out_;
  for (const char* row : {"  updated\n1-2 ", "  up to date\n1-3 ",
                          "  Error: the file's version 1.2 is older than the device's 1.10; not "
                          "updated\n"})
    EXPECT_NE(out_.find(row), std::string::npos) << row << "\n" << out_;
  EXPECT_NE(
      err_.find("[1-2] Up to date: the device runs V1.2.0, the file's version; not updated\n"),
      std::string::npos)
      << err_;
  // Decided before the switch: the version request was all the two received.
  EXPECT_EQ(commands(older).back(), CmdFinish);
  EXPECT_EQ(commands(current), std::vector<uint8_t>{CmdReadVersion});
  EXPECT_EQ(commands(newer), std::vector<uint8_t>{CmdReadVersion});

  // Up to date is no failure: without the newer device the run succeeds.
  platform_.removeDevice(newer);
  EXPECT_EQ(run(true), kExitSuccess) << err_;
  EXPECT_NE(out_.find("{\"device\":\"1-2\",\"event\":\"result\",\"ok\":true,"
                      "\"reason\":\"up-to-date\""),
            std::string::npos)
      << out_;
}

TEST_F(GangUpdateTest, AStopRequestStopsEverySessionOnce) {
  plug("1-1");
  plug("1-2");
  stop_.request(SIGTERM);
  EXPECT_EQ(run(), kExitBySignal + SIGTERM);
  for (const char* port : {"1-1", "1-2"}) {
    const std::string line = std::string("[") + port +
                             "] Interrupted: nothing was written; the device still runs its "
                             "firmware\n";
    const size_t at = err_.find(line);
    EXPECT_NE(at, std::string::npos) << err_;
    EXPECT_EQ(err_.find(line, at + 1), std::string::npos) << err_;
  }
}

}  // namespace
