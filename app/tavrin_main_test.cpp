#include "app/tavrin_main.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/help_text.h"
#include "app/message.h"
#include "app/update_context.h"
#include "tests/child_process.h"
#include "tests/reset_context.h"

namespace {

struct Outcome {
  int status;
  std::string err;
};

Outcome run(std::vector<const char*> words) {
  resetUpdateContext();
  words.insert(words.begin(), "tavrin");
  MessageSink sink;
  Outcome r;
  r.status = tavrinMain(static_cast<int>(words.size()), words.data());
  r.err = sink.err;
  resetUpdateContext();
  return r;
}

class TavrinMainTest : public testing::Test {
 protected:
  void SetUp() override {
    unsetenv("LC_ALL");
    unsetenv("LC_CTYPE");
    setenv("LANG", "C.UTF-8", 1);
    MessageSink sink;
    printBanner();
    banner_ = sink.err;
    sink.err.clear();
    printHelpText();
    help_ = sink.err;
  }
  std::string help_, banner_;
  const std::string demo_ = std::string(TAVRIN_SOURCE_DIR) + "/examples/demo.bin";
};

TEST_F(TavrinMainTest, HelpAndBannerThenTheRunMode) {
  const std::string invalid = "Error: The input file is not a valid firmware file!";
  Outcome r = run({});
  EXPECT_EQ(r.err, help_ + invalid);
  EXPECT_EQ(r.status, 1);

  r = run({"-v"});
  EXPECT_EQ(r.err, banner_ + invalid);
  EXPECT_EQ(r.status, 1);

  r = run({"-h"});
  EXPECT_EQ(r.err, help_ + invalid);

  // The long forms only print.
  r = run({"--help"});
  EXPECT_EQ(r.err, help_);
  EXPECT_EQ(r.status, 0);
  r = run({"--version"});
  EXPECT_EQ(r.err, banner_);
  EXPECT_EQ(r.status, 0);

  r = run({"-v", "-r", "--simulate", "-dv", "abcd", "-dp", "1234"});
  EXPECT_EQ(r.err, banner_ + "Deveice Firmware Version: 0.0.1-sim\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(TavrinMainTest, ReadModeWithAFile) {
  Outcome r = run({"-r", "-dv", "abcd", "-dp", "1234", "-f", "x.bin", "--simulate"});
  EXPECT_EQ(r.err,
            "Please don't use -r and -f at the same time\nDeveice Firmware Version: 0.0.1-sim\n");
  EXPECT_EQ(r.status, 0);
  // An empty path word is no path.
  r = run({"--simulate", "-r", "-f", ""});
  EXPECT_EQ(r.err, "Deveice Firmware Version: 0.0.1-sim\n");
}

TEST_F(TavrinMainTest, UsageErrorRunsNothing) {
  Outcome r = run({"-h", "-f", demo_.c_str(), "-dv"});
  EXPECT_EQ(r.err, "Error: option -dv needs a value\n");
  EXPECT_EQ(r.status, 2);
}

TEST_F(TavrinMainTest, SimulatedUpdate) {
  Outcome r = run({"--simulate", "-f", demo_.c_str(), "-dv", "abcd", "-dp", "1234", "-bv", "abcd",
                   "-bp", "1000"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.substr(0, 62),
            "Deveice Firmware Version: 0.0.1-sim\nSwithing to bootloader...\n");
  EXPECT_EQ(r.err.substr(r.err.size() - 30), "Verifying...\nUpdate completed\n");
  // The same file with the device's ids left at zero still runs through.
  r = run({"--simulate", "-f", demo_.c_str()});
  EXPECT_EQ(r.status, 0) << r.err;
}

// The real binary, as an operator runs it: a child process.
class TavrinProcessTest : public testing::Test {
 protected:
  void SetUp() override {
    // 64 KiB without an info block: the simulated device reports no model either.
    image_ = testing::TempDir() + "tavrin_process_" + std::to_string(::getpid()) + ".bin";
    std::ofstream file(image_, std::ios::binary);
    for (int i = 0; i < 65536; ++i) file.put(static_cast<char>(i * 7));
  }
  void TearDown() override { std::remove(image_.c_str()); }

  std::vector<std::string> update(const char* latencyMs = "0") {
    return {"--simulate", "--simulate-latency",
            latencyMs,    "-f",
            image_,       "-dv",
            "abcd",       "-dp",
            "1234",       "-bv",
            "abcd",       "-bp",
            "1000"};
  }

  std::string image_;
};

TEST_F(TavrinProcessTest, ALogReaderThatGoesAwayDoesNotEndTheUpdate) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);  // every write to the log fails from the first one on
  ChildProcess tavrin(update(), fds[1]);
  ::close(fds[1]);
  ASSERT_TRUE(tavrin.started());
  const int status = tavrin.finish();
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

const char kWaitsInBootloader[] =
    "Interrupted: the device waits in its bootloader; run the same command with -bv and -bp "
    "(its bootloader ids) to finish the update\n";

TEST_F(TavrinProcessTest, CtrlCMidWriteStopsAndSaysWhereTheDeviceIs) {
  ChildProcess tavrin(update("2"));
  ASSERT_TRUE(tavrin.readUntil("Writing firmware data...\n"));
  tavrin.signal(SIGINT);
  const int status = tavrin.finish();
  ASSERT_TRUE(WIFEXITED(status)) << tavrin.output();
  EXPECT_EQ(WEXITSTATUS(status), 130);
  const std::string& out = tavrin.output();
  // The last line, on a line of its own after the progress.
  ASSERT_GE(out.size(), sizeof kWaitsInBootloader);
  EXPECT_EQ(out.substr(out.size() - sizeof kWaitsInBootloader),
            "\n" + std::string(kWaitsInBootloader))
      << out;
  EXPECT_EQ(out.find("Update completed"), std::string::npos);
}

TEST_F(TavrinProcessTest, TerminationStopsWithStatus143) {
  ChildProcess tavrin(update("2"));
  ASSERT_TRUE(tavrin.readUntil("Writing firmware data...\n"));
  tavrin.signal(SIGTERM);
  const int status = tavrin.finish();
  ASSERT_TRUE(WIFEXITED(status)) << tavrin.output();
  EXPECT_EQ(WEXITSTATUS(status), 143);
}

TEST_F(TavrinProcessTest, ASecondSignalEndsTavrinAtOnce) {
  ChildProcess tavrin(update("2"));
  // Mid-wait for the bootloader, which takes more than a second to come.
  ASSERT_TRUE(tavrin.readUntil("Waiting bootloader...\n"));
  tavrin.signal(SIGINT);
  tavrin.signal(SIGTERM);
  const int status = tavrin.finish();
  // Ended by whichever of the two came second, not by the update's own stop.
  ASSERT_TRUE(WIFSIGNALED(status)) << tavrin.output();
  EXPECT_TRUE(WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGTERM) << WTERMSIG(status);
}

}  // namespace
