#include "sim/simulated_bench.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/message.h"
#include "app/tavrin_main.h"

namespace {

struct DryRun {
  int status;
  std::string err;
  std::string out;
  // The last line of standard error, without its line end.
  std::string lastLine() const {
    std::string text = err;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text.substr(text.find_last_of("\n\r") + 1);
  }
};

DryRun dryRun(std::vector<const char*> words) {
  static const std::string demo = std::string(TAVRIN_SOURCE_DIR) + "/examples/demo.bin";
  words.insert(words.begin(), {"tavrin", "--simulate", "-f", demo.c_str()});
  MessageSink sink;
  DryRun run;
  run.status = tavrinMain(static_cast<int>(words.size()), words.data());
  run.err = sink.err;
  run.out = sink.out;
  return run;
}

TEST(SimulatedIds, AreTakenOnlyFromWellFormedWords) {
  GivenIds given;
  given.appVid = "0xBEEF";
  given.appPid = "0001";
  given.bootVid = "beef";
  given.bootPid = "F00D";
  DeviceIds read;
  DeviceIds ids = simulatedDeviceIds(given, read);
  EXPECT_EQ(ids.appVid, 0xBEEF);
  EXPECT_EQ(ids.appPids[0], 0x0001);
  EXPECT_EQ(ids.bootVid, 0xBEEF);
  EXPECT_EQ(ids.bootPid, 0xF00D);

  // Malformed, zero, too wide, signed or spaced words give ids of the
  // device's own, never the value the word reads as.
  for (const char* word : {"xyz", "0", "0x", "12345", "+1234", " 1234", "1234 ", "0x1234x", "-1"}) {
    given.appPid = word;
    read.appPids[0] = word == std::string("12345") ? 0x2345 : 0x1234;
    ids = simulatedDeviceIds(given, read);
    EXPECT_NE(ids.appPids[0], read.appPids[0]) << word;
    EXPECT_NE(ids.appPids[0], 0) << word;
  }
  // Absent ids: abcd:1234 in application firmware, abcd:1000 in the
  // bootloader.
  ids = simulatedDeviceIds(GivenIds{}, DeviceIds{});
  EXPECT_EQ(ids.appVid, 0xABCD);
  EXPECT_EQ(ids.appPids[0], 0x1234);
  EXPECT_EQ(ids.bootVid, 0xABCD);
  EXPECT_EQ(ids.bootPid, 0x1000);
  // Counted past the value the word reads as, and for the application's ids
  // past the bootloader's too: -dv xyz -bv abcd must not make a device that
  // passes for the bootloader.
  given = GivenIds{};
  given.appVid = "abcdx";  // reads as abcd
  given.bootPid = "0x1000x";  // reads as 1000
  read = DeviceIds{};
  read.appVid = 0xABCD;
  read.bootVid = 0xABCE;
  read.bootPid = 0x1000;
  ids = simulatedDeviceIds(given, read);
  EXPECT_EQ(ids.appVid, 0xABCF);
  EXPECT_EQ(ids.bootPid, 0x1001);
  given.appVid = "xyz";
  read.appVid = 0;
  read.bootVid = 0xABCD;
  EXPECT_EQ(simulatedDeviceIds(given, read).appVid, 0xABCE);
}

TEST(SimulatedFaults, ReadByName) {
  SimulatedFault fault;
  ASSERT_TRUE(parseSimulatedFault("write-fail:0x40@sim-3", &fault));
  EXPECT_EQ(fault.kind, SimulatedFault::Kind::kWriteFail);
  EXPECT_EQ(fault.number, 0x40u);
  EXPECT_EQ(fault.port, "sim-3");
  ASSERT_TRUE(parseSimulatedFault("stall", &fault));
  EXPECT_EQ(fault.number, 1u);
  EXPECT_EQ(fault.port, "");
  ASSERT_TRUE(parseSimulatedFault("vanish:010", &fault));
  EXPECT_EQ(fault.number, 10u);  // decimal, not octal
  for (const char* bad : {"vanish:", "vanish:0", "vanish:1x", "write-fail:0x", "write-fail:-1",
                          "never-return:1", "vanish@", "vanish@2", "vanish@sim-", "vanish@sim-01",
                          "vanish@sim-64", "Vanish", "vanish:1:2", ""})
    EXPECT_FALSE(parseSimulatedFault(bad, &fault)) << bad;
}

// A dry run ends where a real run against devices of those ids and faults
// would: same message, same exit status.
TEST(DryRun, EndsWhereTheRealRunWould) {
  const std::vector<const char*> ids = {"-dv", "abcd", "-dp", "1234", "-bv", "abcd", "-bp", "1000"};
  auto withIds = [&ids](std::vector<const char*> words) {
    words.insert(words.end(), ids.begin(), ids.end());
    return dryRun(words);
  };
  DryRun run = withIds({});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.lastLine(), "Update completed");

  // Without the bootloader's ids the bootloader is never found.
  run = dryRun({"-dv", "abcd", "-dp", "1234"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.lastLine(), "Error: Switch to bootloader timeout");
  for (std::vector<const char*> words :
       {std::vector<const char*>{"-dv", "xyz", "-dp", "1234", "-bv", "abcd", "-bp", "1000"},
        std::vector<const char*>{"-dv", "abcd", "-dp", "12345", "-bv", "abcd", "-bp", "1000"},
        std::vector<const char*>{}}) {
    run = dryRun(words);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "No specified VID/PID HID device detected!");
  }

  struct Case {
    const char* fault;
    const char* lastLine;
  };
  for (const Case& c : {Case{"verify-fail", "Verify failed"},
                        Case{"never-return", "Error: Switch to bootloader timeout"},
                        Case{"wrong-boot-model", "Error: Incorrect bootloader model"},
                        Case{"write-fail:0x40",
                             "Error: no answer to the write request at offset 0x0040 after 6 "
                             "sends (no answer within a second)"},
                        Case{"stall:2",
                             "Error: no answer to the write request at offset 0x0020 after 6 "
                             "sends (no answer within a second)"},
                        Case{"vanish:3",
                             "Error: no answer to the write request at offset 0x0030 after 6 "
                             "sends (the device is gone or failed: No such device)"}}) {
    run = withIds({"--verbose", "--simulate-fault", c.fault});
    EXPECT_EQ(run.status, 1) << c.fault;
    EXPECT_EQ(run.lastLine(), c.lastLine) << c.fault;
  }
}

TEST(DryRun, AFaultCanConcernOneDevice) {
  DryRun run = dryRun({"--simulate=3", "--all", "--simulate-fault", "verify-fail@sim-1", "-dv",
                       "abcd", "-dp", "1234", "-bv", "abcd", "-bp", "1000"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("[sim-1] Verify failed\n"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("[sim-0] Update completed\n"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("[sim-2] Update completed\n"), std::string::npos) << run.err;
}

}  // namespace
