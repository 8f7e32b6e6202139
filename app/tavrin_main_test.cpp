#include "app/tavrin_main.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/sha256.h"
#include "app/command_line.h"
#include "app/help_text.h"
#include "app/json.h"
#include "app/message.h"
#include "app/run_report.h"
#include "common/sha256.h"
#include "hid/hid_device.h"
#include "image/signature.h"
#include "tests/capture_listener.h"
#include "tests/scripted_connection.h"
#include "update/commands.h"

namespace {

struct Outcome {
  int status;
  std::string err;
  std::string out;
};

Outcome run(std::vector<const char*> words) {
  words.insert(words.begin(), "tavrin");
  MessageSink sink;
  Outcome r;
  r.status = tavrinMain(static_cast<int>(words.size()), words.data());
  r.err = sink.err;
  r.out = sink.out;
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

  // The long forms only print; --help to standard output, with a section on
  // the long options, ending with a line feed.
  r = run({"--help"});
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.substr(0, help_.size() + 2), help_ + "\n\n");
  EXPECT_NE(r.out.find("\n  --inspect FILE "), std::string::npos);
  EXPECT_NE(r.out.find("man tavrin"), std::string::npos);
  EXPECT_EQ(r.out.back(), '\n');
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
  r = run({"--simulate", "-r", "-f", "", "-dv", "abcd", "-dp", "1234"});
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
  // No real device has ids 0:0, and the simulated ones have ids of their own.
  r = run({"--simulate", "-f", demo_.c_str()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "No specified VID/PID HID device detected!");
}

// The "event" of every line of out, in order.
std::vector<std::string> events(const std::string& out) {
  std::vector<std::string> found;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    std::map<std::string, std::string> fields;
    EXPECT_TRUE(parseFlatJsonObject(line, &fields)) << line;
    found.push_back(fields["event"]);
  }
  return found;
}

TEST_F(TavrinMainTest, JsonLinesTellAnUpdateAsItGoes) {
  Outcome r = run({"--json", "--simulate", "-f", demo_.c_str(), "-dv", "abcd", "-dp", "1234", "-bv",
                   "abcd", "-bp", "1000"});
  EXPECT_EQ(r.status, 0);
  std::vector<std::string> seen = events(r.out);
  std::vector<std::string> expected = {"selected", "protocol", "switch", "bootloader", "protocol"};
  ASSERT_GT(seen.size(), expected.size() + 3);
  EXPECT_EQ(std::vector<std::string>(seen.begin(), seen.begin() + 5), expected);
  EXPECT_EQ(seen[seen.size() - 3], "progress");
  EXPECT_EQ(seen[seen.size() - 2], "verify");
  std::string digest;
  ASSERT_TRUE(fileSha256(demo_, &digest));
  const std::string result = r.out.substr(r.out.rfind("{\"event\":\"result\""));
  EXPECT_EQ(result.substr(0, result.find("\"seconds\":")),
            "{\"event\":\"result\",\"ok\":true,\"reason\":\"updated\",\"state\":10,"
            "\"state-name\":\"finish\",\"message\":\"\",\"port\":\"sim-0\",\"serial\":\"SIM0001\","
            "\"version-before\":\"0.0.1-sim\",\"file-model\":\"TVR-100\",\"file-version\":\"1.0.3\",");
  EXPECT_TRUE(endsWith(result, ",\"sha256\":\"" + digest + "\"}\n")) << result;
  // The time on the simulated clock: the bootloader's restart at least.
  std::map<std::string, std::string> fields;
  ASSERT_TRUE(parseFlatJsonObject(result.substr(0, result.size() - 1), &fields));
  EXPECT_GE(std::stod(fields["seconds"]), 1.2) << result;
  EXPECT_EQ(fields["seconds"].find(','), std::string::npos);
  // The human messages stay as they are.
  EXPECT_EQ(r.err.substr(r.err.size() - 30), "Verifying...\nUpdate completed\n");
}

// The last JSON line of a run, as key -> value (the array of ports as written).
std::map<std::string, std::string> resultFields(const std::string& out) {
  std::string line = out.substr(out.rfind("{\"event\":\"result\""));
  line.pop_back();
  std::string ports;
  const size_t at = line.find(",\"ports\":[");
  if (at != std::string::npos) {
    const size_t end = line.find(']', at);
    ports = line.substr(at + 9, end - at - 8);
    line.erase(at, end + 1 - at);
  }
  std::map<std::string, std::string> fields;
  EXPECT_TRUE(parseFlatJsonObject(line, &fields)) << line;
  if (!ports.empty()) fields["ports"] = ports;
  return fields;
}

TEST_F(TavrinMainTest, JsonResultsAStationCanUse) {
  const std::vector<const char*> ids = {"-dv", "abcd", "-dp", "1234", "-bv", "abcd", "-bp", "1000"};
  auto json = [&](std::vector<const char*> words) {
    words.insert(words.begin(), {"--json", "-f", demo_.c_str()});
    words.insert(words.end(), ids.begin(), ids.end());
    return run(words);
  };
  // The message as printed, without its line end; the state by name.
  Outcome r = json({"--simulate-fault", "verify-fail"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.substr(r.err.size() - 15), "\nVerify failed\n");
  std::map<std::string, std::string> fields = resultFields(r.out);
  EXPECT_EQ(fields["message"], "Verify failed");
  EXPECT_EQ(fields["state"], "9");
  EXPECT_EQ(fields["state-name"], "verify");
  EXPECT_EQ(fields.count("ports"), 0u);

  // Several devices of the file's model: every port, to choose one from.
  r = json({"--simulate=3"});
  fields = resultFields(r.out);
  EXPECT_EQ(fields["reason"], "multiple-devices");
  EXPECT_EQ(fields["ports"], "[\"sim-0\",\"sim-1\",\"sim-2\"]");
  EXPECT_EQ(fields["message"],
            "Multiple HID devices detected, please disconnect other HID devices");

  // A file that cannot be read: no model, and why.
  r = run({"--json", "-f", "/nonexistent/fw.bin"});
  fields = resultFields(r.out);
  EXPECT_EQ(fields["file-model"], "");
  EXPECT_EQ(fields["detail"], "Error: cannot read /nonexistent/fw.bin: No such file or directory");
}

TEST_F(TavrinMainTest, AllExpectsItsNumberOfDevicesBeforeAnySwitch) {
  std::vector<const char*> words = {"--simulate=3", "--all", "--expect", "4", "-f", demo_.c_str(),
                                    "-dv", "abcd", "-dp", "1234", "-bv", "abcd", "-bp", "1000"};
  Outcome r = run(words);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.substr(r.err.find("Error")), "Error: found 3 devices of model TVR-100, expected 4\n");
  EXPECT_EQ(r.err.find("Swithing"), std::string::npos);
  EXPECT_EQ(r.out, "");
  // For scripts: a result of its own, as for a run that ends before any device.
  words[3] = "2";
  words.insert(words.begin(), "--json");
  r = run(words);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(resultFields(r.out)["reason"], "device-count");
  EXPECT_EQ(resultFields(r.out)["message"], "Error: found 3 devices of model TVR-100, expected 2");
  // The right number goes ahead.
  words[4] = "3";
  EXPECT_EQ(run(words).status, 0);
}

TEST_F(TavrinMainTest, UdevRulesForTheUserOrAGroup) {
  const std::vector<const char*> ids = {"-dv", "abcd", "-dp", "1234", "-bv", "abcd", "-bp", "1000"};
  std::vector<const char*> words = {"--udev-rule"};
  words.insert(words.end(), ids.begin(), ids.end());
  Outcome r = run(words);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("SUBSYSTEM==\"hidraw\", KERNELS==\"*:ABCD:1000.*\", TAG+=\"uaccess\"\n"),
            std::string::npos)
      << r.out;
  words.insert(words.end(), {"--group", "tavrin"});
  r = run(words);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("SUBSYSTEM==\"hidraw\", KERNELS==\"*:ABCD:1234.*\", GROUP=\"tavrin\", "
                       "MODE=\"0660\"\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("# tavrin: members of the group tavrin may update"), std::string::npos);
  EXPECT_EQ(r.out.find("uaccess"), std::string::npos);
  // Without the ids nothing useful can be printed.
  r = run({"--udev-rule"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
}

TEST_F(TavrinMainTest, JsonLinesOfTheListAndTheVersions) {
  Outcome r = run({"--json", "--simulate=2", "--list", "-dv", "abcd", "-dp", "1234"});
  EXPECT_EQ(events(r.out), (std::vector<std::string>{"interface", "interface"}));
  EXPECT_NE(r.out.find("\"port\":\"sim-1\",\"serial\":\"SIM0002\""), std::string::npos);
  r = run({"--json", "--simulate=2", "-r", "-dv", "abcd", "-dp", "1234"});
  EXPECT_EQ(events(r.out), (std::vector<std::string>{"version", "version"}));
  EXPECT_NE(r.out.find("\"ok\":true,\"model\":\"TVR-100\",\"version\":\"0.0.1-sim\""),
            std::string::npos);
  EXPECT_EQ(r.err, "Deveice Firmware Version: 0.0.1-sim\nDeveice Firmware Version: 0.0.1-sim\n");
}

TEST_F(TavrinMainTest, TheLogTracesTheRunAsItGoes) {
  const std::string log = testing::TempDir() + "tavrin_log_" + std::to_string(::getpid());
  std::remove(log.c_str());
  Outcome r = run({"--log", log.c_str(), "--simulate", "-f", demo_.c_str(), "-dv", "abcd", "-dp",
                   "1234", "-bv", "abcd", "-bp", "1000"});
  EXPECT_EQ(r.status, 0);
  std::ifstream in(log);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  for (const char* expected :
       {"Z run: tavrin --log ", "Z listed sim/0/0 abcd:1234 application port=sim-0 serial=SIM0001",
        "Z state 1 -> 2\n", "Z exchange ok b25a5503fc0160600000", ", send 1, ", "Z verify passed\n",
        "Z outcome: updated, state 10\n", "Z exit status 0\n"})
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
  // What was flashed: the file's SHA-256, and no key was asked for.
  std::string digest;
  ASSERT_TRUE(fileSha256(demo_, &digest));
  EXPECT_NE(text.find("Z file sha256 " + digest + ", signature not checked\n"), std::string::npos)
      << text;
  // A log that cannot be opened is a usage error, before anything is done.
  r = run({"--log", "/nonexistent/dir/log", "--simulate", "-f", demo_.c_str()});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "Error: cannot open the log file /nonexistent/dir/log\n");
  std::remove(log.c_str());
}

// A failed exchange and an interface that would not open: the log names
// what the system said of them.
TEST_F(TavrinMainTest, TheLogNamesWhatTheSystemSaidOfAFailure) {
  const std::string log = testing::TempDir() + "tavrin_syslog_" + std::to_string(::getpid());
  std::remove(log.c_str());
  {
    CommandLine line;
    line.logPath = log;
    RunReport report;
    const char* argv[] = {"tavrin"};
    ASSERT_TRUE(report.start(line, 1, argv));
    SessionReportStyle style;
    style.logPort = "1-2";
    SessionReport listener(report, style);
    HidDevice device;
    auto connection = std::make_unique<ScriptedConnection>();
    connection->error = "No such device";
    device.handle = std::move(connection);
    uint8_t request[kReportSize] = {0xB2, 0xAA, 0x55, 0x03, 0xFC, 0x01, CmdWriteData};
    const auto now = std::chrono::steady_clock::now();
    listener.exchanged({&device, request, nullptr, kTransactionFailed, 1234, now, 2});
    listener.exchanged({&device, request, nullptr, kTransactionTimeout, 1000000, now, 3});
    listener.interfaceNotOpened("/dev/hidraw3", "Device or resource busy");
    EXPECT_EQ(report.finishedWith(0), 0);
  }
  std::ifstream in(log);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  std::remove(log.c_str());
  EXPECT_NE(text.find("Z [1-2] exchange failed b2aa5503fc01"), std::string::npos) << text;
  EXPECT_NE(text.find(" -> -, send 2, 1234 us: No such device\n"), std::string::npos) << text;
  // A time-out is the device's silence, not the system's.
  EXPECT_NE(text.find(" -> -, send 3, 1000000 us\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Z [1-2] cannot open /dev/hidraw3: Device or resource busy\n"),
            std::string::npos)
      << text;
}

// A log under the name of the firmware file would be flashed with it; under
// the image's, written over. Refused before the log is opened, however named.
TEST_F(TavrinMainTest, TheLogIsNeitherTheFirmwareNorTheImageFile) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(testing::TempDir()) / ("tavrin_log_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string firmware = (dir / "fw.bin").string();
  fs::copy_file(demo_, firmware);
  const std::string fresh = (dir / "new.bin").string();  // not there yet
  fs::create_symlink(firmware, dir / "link");
  fs::create_symlink(fresh, dir / "dangling");
  const std::string image = (dir / "out.bin").string();
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"-f", firmware, "--log", firmware}, firmware + " is the firmware file"},
      {{"-f", firmware, "--log", (dir / "link").string()}, "link is the firmware file"},
      {{"-f", (dir / "link").string(), "--log", (dir / "." / "fw.bin").string()}, "firmware file"},
      {{"-f", fresh, "--log", fresh}, "new.bin is the firmware file"},
      {{"-f", fresh, "--log", (dir / "dangling").string()}, "dangling is the firmware file"},
      {{"--all", "-f", firmware, "--log", firmware}, "is the firmware file"},
      {{"-r", "-f", firmware, "--log", firmware}, "is the firmware file"},
      {{"--inspect", firmware, "--log", firmware}, "is the firmware file"},
      {{"--inspect", demo_, "--image-out", image, "--log", image}, "out.bin is the --image-out file"},
  };
  for (const auto& [words, clash] : cases) {
    std::vector<const char*> argv = {"--simulate", "-dv", "abcd", "-dp", "1234", "-bv", "abcd",
                                     "-bp", "1000"};
    for (const std::string& word : words) argv.push_back(word.c_str());
    Outcome r = run(argv);
    EXPECT_EQ(r.status, 2) << clash;
    EXPECT_NE(r.err.find(clash + "; name another file\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;  // that line alone
  }
  EXPECT_EQ(fs::file_size(firmware), fs::file_size(demo_));
  EXPECT_FALSE(fs::exists(fresh));
  EXPECT_FALSE(fs::exists(image));
  // Another name in the same directory is fine.
  EXPECT_EQ(run({"--simulate", "-f", firmware.c_str(), "--log", (dir / "run.log").c_str(), "-dv",
                 "abcd", "-dp", "1234", "-bv", "abcd", "-bp", "1000"})
                .status,
            0);
  fs::remove_all(dir);
}

// The keys of the system's folder (here one the variable names) and of
// --trust-key decide which files an update takes.
TEST_F(TavrinMainTest, TrustedKeysFromTheFolderAndTheCommandLine) {
  const std::string keys = std::string(TAVRIN_SOURCE_DIR) + "/tests/keys/";
  const std::string dir = testing::TempDir() + "tavrin_keys_" + std::to_string(::getpid());
  const std::string folder = dir + "/trusted-keys";
  std::filesystem::create_directories(folder);
  const std::string file = dir + "/demo.bin";
  std::filesystem::copy_file(demo_, file);
  std::filesystem::copy_file(keys + "test.pub", folder + "/vendor.pub");
  std::filesystem::copy_file(keys + "other.key", folder + "/other.key");  // not a *.pub: ignored
  setenv("TAVRIN_TRUSTED_KEYS_DIR", folder.c_str(), 1);
  const std::vector<const char*> update = {"--json", "--simulate", "-f", file.c_str(), "-dv",
                                           "abcd", "-dp", "1234", "-bv", "abcd", "-bp", "1000"};
  auto withOptions = [&update](std::vector<const char*> more) {
    more.insert(more.begin(), update.begin(), update.end());
    return run(more);
  };

  Outcome r = withOptions({});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\"reason\":\"unsigned-image\""), std::string::npos) << r.out;
  EXPECT_EQ(r.err.find("Deveice"), std::string::npos) << r.err;  // no device was asked
  std::filesystem::copy_file(keys + "demo.bin.minisig", file + ".minisig");
  r = withOptions({});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"key-id\":\"96CAD30F516FDC48\"}"), std::string::npos) << r.out;
  r = run({"--inspect", file.c_str()});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\nsignature: valid\n"), std::string::npos) << r.out;

  // Signed by a key the folder does not hold, though the command line does.
  std::filesystem::copy_file(keys + "demo.bin.other.minisig", file + ".minisig",
                             std::filesystem::copy_options::overwrite_existing);
  r = withOptions({});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\"reason\":\"untrusted-key\""), std::string::npos) << r.out;
  const std::string other = keys + "other.pub";
  r = withOptions({"--trust-key", other.c_str()});
  EXPECT_EQ(r.status, 0) << r.err;

  // An empty value names no folder: nothing trusted, nothing asked for.
  setenv("TAVRIN_TRUSTED_KEYS_DIR", "", 1);
  std::filesystem::remove(file + ".minisig");
  r = withOptions({});
  EXPECT_EQ(r.status, 0) << r.err;

  // A key that cannot be read stops everything that reads a file, and only that.
  setenv("TAVRIN_TRUSTED_KEYS_DIR", folder.c_str(), 1);
  std::filesystem::copy_file(keys + "demo.bin.minisig", folder + "/broken.pub");
  r = withOptions({});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error: " + folder + "/broken.pub is not a minisign public key\n");
  EXPECT_EQ(r.out, "");
  r = run({"--simulate", "-r", "-dv", "abcd", "-dp", "1234"});
  EXPECT_EQ(r.status, 0);
  const std::string missing = dir + "/missing.pub";
  unsetenv("TAVRIN_TRUSTED_KEYS_DIR");
  r = run({"--inspect", file.c_str(), "--trust-key", missing.c_str()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error: " + missing + " is not a minisign public key\n");
  std::filesystem::remove_all(dir);
}

// The same job run twice against devices whose versions live in a file: the
// second run finds them up to date.
TEST_F(TavrinMainTest, ARepeatedUpdateLeavesACurrentDeviceAlone) {
  const std::string state = testing::TempDir() + "tavrin_state_" + std::to_string(::getpid());
  std::remove(state.c_str());
  const std::vector<const char*> job = {"--simulate", "--simulate-state", state.c_str(),
                                        "--skip-if-current", "--no-downgrade", "-f",
                                        demo_.c_str(), "-dv", "abcd", "-dp", "1234", "-bv",
                                        "abcd", "-bp", "1000"};
  Outcome r = run(job);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.err.find("Update completed\n") != std::string::npos) << r.err;
  std::ifstream in(state);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), "sim-0 1.0.3\n");
  r = run(job);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err,
            "Deveice Firmware Version: 1.0.3\n"
            "Up to date: the device runs 1.0.3, the file's version; not updated\n");
  std::remove(state.c_str());
}

}  // namespace
