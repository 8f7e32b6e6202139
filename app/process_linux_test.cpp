#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/console.h"
#include "tests/child_process.h"

namespace {

TEST(StandardStreams, AClosedOneIsTheNullDeviceBeforeAnythingElseOpens) {
  EXPECT_EXIT(
      {
        ::close(1);
        ::close(2);
        prepareStandardStreams();
        // A file opened now must not take the number of a standard stream.
        const int fd = ::open("/proc/self/exe", O_RDONLY);
        char target[PATH_MAX] = {};
        const bool isNull = ::readlink("/proc/self/fd/2", target, sizeof target - 1) > 0 &&
                            std::string(target) == "/dev/null";
        std::_Exit(fd > 2 && isNull ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
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

// The command named the bootloader's ids: the same command finishes.
const char kWaitsInBootloader[] =
    "Interrupted: the device waits in its bootloader; run the same command again to finish the "
    "update\n";

TEST_F(TavrinProcessTest, CtrlCMidWriteStopsAndSaysWhereTheDeviceIs) {
  const std::string log = image_ + ".log";
  std::vector<std::string> args = update("2");
  args.insert(args.end(), {"--log", log});
  ChildProcess tavrin(args);
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
  // The log keeps every exchange up to the interruption, the last one too.
  std::ifstream in(log);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  std::remove(log.c_str());
  EXPECT_NE(text.find(" exchange ok b2"), std::string::npos) << text;
  const std::string end = "Z exit status 130\n";
  ASSERT_GE(text.size(), end.size());
  EXPECT_EQ(text.substr(text.size() - end.size()), end) << text;
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
  // Ended by whichever of the two came second, not by the update's own stop,
  // after one line that says where the device is left.
  ASSERT_TRUE(WIFSIGNALED(status)) << tavrin.output();
  EXPECT_TRUE(WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGTERM) << WTERMSIG(status);
  const std::string last =
      "Ended at once: the device waits in its bootloader; run the same command again to finish "
      "the update\n";
  const std::string& out = tavrin.output();
  ASSERT_GE(out.size(), last.size()) << out;
  EXPECT_EQ(out.substr(out.size() - last.size()), last) << out;
}

TEST_F(TavrinProcessTest, AllUpdatesEveryDeviceAndEndsWithATable) {
  std::vector<std::string> args = update();
  args.insert(args.begin(), {"--simulate=3", "--all", "--jobs", "2"});
  ChildProcess tavrin(args);
  const int status = tavrin.finish();
  ASSERT_TRUE(WIFEXITED(status)) << tavrin.output();
  EXPECT_EQ(WEXITSTATUS(status), 0) << tavrin.output();
  for (const char* port : {"sim-0", "sim-1", "sim-2"}) {
    EXPECT_NE(tavrin.output().find(std::string("[") + port + "] Update completed\n"),
              std::string::npos)
        << port;
    EXPECT_NE(tavrin.output().find(std::string("\n") + port + "  "), std::string::npos) << port;
  }
  EXPECT_NE(tavrin.output().find("PORT   SERIAL   BEFORE     SECONDS  RESULT\n"),
            std::string::npos);
}

TEST_F(TavrinProcessTest, CtrlCStopsEveryDeviceOfAnAllUpdate) {
  std::vector<std::string> args = update("2");
  args.insert(args.begin(), {"--simulate=2", "--all"});
  ChildProcess tavrin(args);
  ASSERT_TRUE(tavrin.readUntil("[sim-1] Writing firmware data...\n"));
  ASSERT_TRUE(tavrin.readUntil("[sim-0] Writing firmware data...\n"));
  tavrin.signalGroup(SIGINT);
  const int status = tavrin.finish();
  ASSERT_TRUE(WIFEXITED(status)) << tavrin.output();
  EXPECT_EQ(WEXITSTATUS(status), 130);
  for (const char* port : {"sim-0", "sim-1"})
    EXPECT_NE(tavrin.output().find(std::string("[") + port + "] " + kWaitsInBootloader),
              std::string::npos)
        << tavrin.output();
}

// The same stop, signalled to the --all process alone (a supervisor's kill):
// every device is stopped at its safe point, once.
TEST_F(TavrinProcessTest, AStopSentToTheAllProcessAloneStopsEveryDeviceOnce) {
  for (int signal : {SIGINT, SIGTERM}) {
    std::vector<std::string> args = update("2");
    args.insert(args.begin(), {"--simulate=2", "--all"});
    ChildProcess tavrin(args);
    ASSERT_TRUE(tavrin.readUntil("[sim-1] Writing firmware data...\n"));
    ASSERT_TRUE(tavrin.readUntil("[sim-0] Writing firmware data...\n"));
    if (signal == SIGINT)
      tavrin.signal(signal);
    else
      tavrin.signalGroup(signal);  // the group: still one request, not two
    const int status = tavrin.finish();
    ASSERT_TRUE(WIFEXITED(status)) << tavrin.output();
    EXPECT_EQ(WEXITSTATUS(status), 128 + signal) << tavrin.output();
    EXPECT_EQ(tavrin.output().find("Update completed"), std::string::npos) << tavrin.output();
    for (const char* port : {"sim-0", "sim-1"}) {
      const std::string line = std::string("[") + port + "] " + kWaitsInBootloader;
      const size_t at = tavrin.output().find(line);
      EXPECT_NE(at, std::string::npos) << tavrin.output();
      EXPECT_EQ(tavrin.output().find(line, at + 1), std::string::npos) << tavrin.output();
    }
  }
}

// Standard output on a full disk, standard error read: the run's own work
// ends as it would, then one line says what was lost, and the exit status is 1.
TEST_F(TavrinProcessTest, OutputThatCannotBeWrittenFailsTheRunAfterItsWork) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  const std::string ids = " -dv abcd -dp 1234 -bv abcd -bp 1000";
  const std::string update = " --simulate -f '" + image_ + "'" + ids;
  const std::string out = " 2>&1 >/dev/full";
  const std::string completed = "Update completed\n";
  const std::string lost = "Error: cannot write to standard output\n";
  const std::pair<std::string, std::string> cases[] = {
      {"--list --json --simulate" + out, "Error: cannot write the listing to standard output\n"},
      {"-r --json --simulate" + ids + out, "Deveice Firmware Version: 0.0.1-sim\n" + lost},
      {"--json" + update + out, completed + lost},
      {"--all --simulate=2 -f '" + image_ + "'" + ids + out,
       "Error: cannot write the table to standard output\n"},
      {"--all --json --simulate=2 -f '" + image_ + "'" + ids + out, completed + lost},
      {"--log /dev/full" + update + " 2>&1 >/dev/null",
       completed + "Error: cannot write the log file /dev/full\n"},
      {"--json --log /dev/full" + update + out,
       completed + lost + "Error: cannot write the log file /dev/full\n"},
      {"--help" + out, lost},
      {"--udev-rule" + ids + out, lost},
  };
  for (const auto& [words, end] : cases) {
    std::FILE* pipe = ::popen((std::string(TAVRIN_BINARY) + " " + words).c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string err;
    char block[512];
    for (size_t got; (got = std::fread(block, 1, sizeof block, pipe)) > 0;) err.append(block, got);
    const int status = ::pclose(pipe);
    ASSERT_TRUE(WIFEXITED(status)) << words;
    EXPECT_EQ(WEXITSTATUS(status), 1) << words << "\n" << err;
    ASSERT_GE(err.size(), end.size()) << words << "\n" << err;
    EXPECT_EQ(err.substr(err.size() - end.size()), end) << words << "\n" << err;
    // Each loss is told once, and nothing else went wrong.
    size_t errors = 0;
    for (size_t at = 0; (at = err.find("Error:", at)) != std::string::npos; ++at) ++errors;
    EXPECT_EQ(errors, words.find("--json --log") == 0 ? 2u : 1u) << words << "\n" << err;
  }
}

// What --all writes to standard output is data: the table, or JSON lines
// that end with a result line even when no session ran.
TEST_F(TavrinProcessTest, AllWritesOnlyItsTableOrJsonLines) {
  const std::string v2 = std::string(TAVRIN_SOURCE_DIR) + "/examples/demo_v2.qfw";
  const std::vector<std::string> ids = {"-dv", "abcd", "-dp", "1234", "-bv", "abcd", "-bp", "1000"};
  auto stdoutOf = [&](std::vector<std::string> args) {
    args.insert(args.end(), ids.begin(), ids.end());
    ChildProcess tavrin(args, -1, true);
    EXPECT_NE(tavrin.finish(), -1);
    return tavrin.output();
  };
  EXPECT_EQ(stdoutOf({"--simulate=2", "--all", "-f", v2}).rfind("PORT ", 0), 0u);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--json", "--simulate=2", "--all", "-f", v2},
        std::vector<std::string>{"--json", "--all", "-f", image_ + ".missing"},
        std::vector<std::string>{"--json", "--all", "-f", image_, "--port", "no-such-port"}}) {
    const std::string out = stdoutOf(args);
    ASSERT_FALSE(out.empty()) << args[2];
    size_t start = 0;
    for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1)
      EXPECT_EQ(out[start], '{') << out;
    EXPECT_EQ(start, out.size()) << out;
    EXPECT_NE(out.rfind("\"event\":\"result\""), std::string::npos) << out;
  }
}

}  // namespace

// The shift ends with Ctrl-C: every session stops at its safe point with the
// single update's message, the counts follow, and the status tells the stop.
TEST_F(TavrinProcessTest, CtrlCEndsTheStationsShiftCleanly) {
  const std::string ledger = image_ + ".ledger";
  std::vector<std::string> args = update("2");
  args.erase(args.begin());  // the schedule plugs the boards
  args.insert(args.begin(), {"--station", "--simulate-schedule", "0+p1 0+p2", "--ledger", ledger});
  ChildProcess tavrin(args);
  ASSERT_TRUE(tavrin.readUntil("[p1] Writing firmware data...\n"));
  ASSERT_TRUE(tavrin.readUntil("[p2] Writing firmware data...\n"));
  tavrin.signal(SIGINT);
  const int status = tavrin.finish();
  ASSERT_TRUE(WIFEXITED(status)) << tavrin.output();
  EXPECT_EQ(WEXITSTATUS(status), 130) << tavrin.output();
  const std::string& out = tavrin.output();
  for (const char* port : {"p1", "p2"})
    EXPECT_NE(out.find(std::string("[") + port + "] " + kWaitsInBootloader), std::string::npos)
        << out;
  EXPECT_NE(out.find("Station: 0 updated, 2 failed"), std::string::npos) << out;
  std::ifstream in(ledger);
  size_t lines = 0;
  for (std::string line; std::getline(in, line); ++lines)
    EXPECT_NE(line.find("\"reason\":\"interrupted\""), std::string::npos) << line;
  std::remove(ledger.c_str());
  EXPECT_EQ(lines, 2u);
}
