#include "app/station.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "app/command_line.h"
#include "app/exit_status.h"
#include "app/json.h"
#include "app/message.h"
#include "app/run_report.h"
#include "app/simulated_schedule.h"
#include "app/station_ledger.h"
#include "app/station_rule.h"
#include "sim/simulated_platform.h"
#include "tests/sim_support.h"
#include "update/commands.h"

namespace {

using Record = std::map<std::string, std::string>;

// The station over boards plugged and pulled on the virtual clock.
class StationTest : public testing::Test {
 protected:
  void SetUp() override {
    const std::string stem = testing::TempDir() + "tavrin_station_" + std::to_string(::getpid());
    image_ = stem + ".bin";
    ledger_ = stem + ".ledger";
    // An info block naming the model QS-100 and the version 2.0.0.
    std::string image(
        "ABabQXFW\x01\x08QS-100\0\x02\x07"
        "2.0.0\0\0",
        27);
    image.resize(400, '\x5A');
    std::ofstream(image_, std::ios::binary) << image;
    static_cast<DeviceFilter&>(context_) = scannerFilter();
    context_.firmwarePath = image_;
    line_.station = true;
    line_.ledgerPath = ledger_;
    line_.stationId = "bench-7";
  }
  void TearDown() override {
    std::filesystem::remove(image_);
    std::filesystem::remove(ledger_);
  }

  int run(const std::string& schedule, uint32_t units, SimulatedPlatform* platform = nullptr) {
    if (platform == nullptr) platform = &platform_;
    line_.simulateSchedule = schedule;
    line_.units = units;
    RunReport report;
    const char* argv[] = {"tavrin"};
    report.start(line_, 1, argv);
    MessageSink sink;
    const int status =
        runStation(context_, line_, *platform, report, stop_, TextEncoding::kUtf8, platform);
    err_ = sink.err;
    out_ = sink.out;
    return status;
  }
  std::vector<Record> ledger() {
    std::vector<Record> records;
    std::ifstream in(ledger_);
    for (std::string text; std::getline(in, text);) {
      Record record;
      EXPECT_TRUE(parseFlatJsonObject(text, &record)) << text;
      records.push_back(record);
    }
    return records;
  }
  // How often the board plugged as the id-th of the schedule was sent a command.
  uint32_t sent(size_t id, uint8_t command) { return platform_.model(id).commandCount(command); }

  std::string image_, ledger_;
  UpdateContext context_;
  CommandLine line_;
  SimulatedPlatform platform_;
  StopRequest stop_;
  std::string out_, err_;
};

// A board left in the fixture restarts into its new firmware and stays: it is
// flashed once, and the next unit is the next board, on another port.
TEST_F(StationTest, ABoardLeftAttachedIsFlashedOnce) {
  ASSERT_EQ(run("0+a 30000+b", 2), kExitSuccess) << err_;
  std::vector<Record> records = ledger();
  ASSERT_EQ(records.size(), 2u) << out_;
  EXPECT_EQ(records[0]["port"], "a");
  EXPECT_EQ(records[1]["port"], "b");
  EXPECT_EQ(sent(0, CmdStartUpdate), 1u);
  EXPECT_EQ(sent(0, CmdFinish), 1u);
  EXPECT_TRUE(platform_.model(0).mode() == kModeApplication);  // restarted, not reflashed
  Record& first = records[0];
  EXPECT_EQ(first["station"], "bench-7");
  EXPECT_EQ(first["serial"], "SIM0001");
  EXPECT_EQ(first["model"], "QS-100");
  EXPECT_EQ(first["version-before"], "0.0.1-sim");
  EXPECT_EQ(first["file"], image_);
  EXPECT_EQ(first["sha256"].size(), 64u);
  EXPECT_EQ(first["result"], "updated");
  EXPECT_EQ(first["reason"], "updated");
  EXPECT_EQ(first["attempts"], "1");
  EXPECT_EQ(first["time"].size(), 20u);
  EXPECT_NE(out_.find("[a] unit 1: updated, serial SIM0001, 1 attempt"), std::string::npos) << out_;
  EXPECT_NE(out_.find("Station: 2 updated, 0 failed"), std::string::npos) << out_;
}

// A board that leaves and another that comes on that port is a new unit: at
// once when its serial differs, and after the settle time even with the same.
TEST_F(StationTest, AReplugIsANewUnit) {
  ASSERT_EQ(run("0+a 8000-a 9000+a/serial=B 20000-a 30000+a/serial=B", 3), kExitSuccess) << err_;
  std::vector<Record> records = ledger();
  ASSERT_EQ(records.size(), 3u) << out_;
  EXPECT_EQ(records[0]["serial"], "SIM0001");
  EXPECT_EQ(records[1]["serial"], "B");
  EXPECT_EQ(records[2]["serial"], "B");
  for (size_t board = 0; board < 3; ++board) EXPECT_EQ(sent(board, CmdFinish), 1u) << board;
}

// Within the settle time the same serial is the same board: not flashed again.
TEST_F(StationTest, TheSameBoardBackWithinTheSettleTimeIsNoNewUnit) {
  line_.settleSeconds = 5;
  ASSERT_EQ(run("0+a 6000-a 7000+a/serial=SIM0001 20000+b", 2), kExitSuccess) << err_;
  std::vector<Record> records = ledger();
  ASSERT_EQ(records.size(), 2u) << out_;
  EXPECT_EQ(records[1]["port"], "b");
  EXPECT_EQ(sent(1, CmdReadVersion), 0u);  // its serial told: not even asked
}

// A board that arrives in its bootloader is updated; when it restarts into
// its application, under a serial the unit never saw there, its version (now
// the file's) tells that it is the same board.
TEST_F(StationTest, ABoardInItsBootloaderIsUpdatedOnce) {
  ASSERT_EQ(run("0+a/boot 20000+b", 2), kExitSuccess) << err_;
  std::vector<Record> records = ledger();
  ASSERT_EQ(records.size(), 2u) << out_;
  EXPECT_EQ(records[0]["port"], "a");
  EXPECT_EQ(records[0]["result"], "updated");
  EXPECT_EQ(sent(0, CmdStartUpdate), 1u);
  EXPECT_EQ(sent(0, CmdReadVersion), 2u);  // the unit's, and the look after the restart
}

// A failed session whose board is still there is tried again.
TEST_F(StationTest, ABoardThatFailsOncePassesOnItsRetry) {
  line_.retries = 2;
  ASSERT_EQ(run("0+a/verify-fails=1", 1), kExitSuccess) << err_;
  std::vector<Record> records = ledger();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["result"], "updated");
  EXPECT_EQ(records[0]["attempts"], "2");
  EXPECT_NE(err_.find("[a] Verify failed\n[a] Retrying: attempt 2 of 3\n"), std::string::npos)
      << err_;
}

TEST_F(StationTest, WithoutRetriesAFailedUnitEndsAtOnce) {
  ASSERT_EQ(run("0+a/verify-fails=1 0+b", 2), kExitFailure) << err_;
  std::vector<Record> records = ledger();
  ASSERT_EQ(records.size(), 2u);
  for (Record& record : records) {
    const bool a = record["port"] == "a";
    EXPECT_EQ(record["result"], a ? "failed" : "updated");
    EXPECT_EQ(record["reason"], a ? "verify" : "updated");
    EXPECT_EQ(record["attempts"], "1");
  }
  EXPECT_NE(out_.find("Station: 1 updated, 1 failed"), std::string::npos) << out_;
}

// A board that vanishes mid-write ends its unit as failed, whatever the
// retries; the board beside it is updated all the same.
TEST_F(StationTest, ABoardThatVanishesMidWriteFailsAlone) {
  line_.retries = 3;
  ASSERT_EQ(run("0+a/vanish=5 0+b", 2), kExitFailure) << err_;
  std::map<std::string, Record> byPort;
  for (Record& record : ledger()) byPort[record["port"]] = record;
  ASSERT_EQ(byPort.size(), 2u);
  EXPECT_EQ(byPort["a"]["result"], "failed");
  EXPECT_EQ(byPort["a"]["reason"], "write");
  EXPECT_EQ(byPort["a"]["attempts"], "1");
  EXPECT_EQ(byPort["b"]["result"], "updated");
}

// --jobs 1: boards plugged in at once are flashed one after the other.
TEST_F(StationTest, JobsBoundTheUnitsRunningAtOnce) {
  line_.jobs = 1;
  ASSERT_EQ(run("0+a 0+b 0+c", 3), kExitSuccess) << err_;
  std::vector<Record> records = ledger();
  ASSERT_EQ(records.size(), 3u);
  // Each unit took as long alone as the first: none shared its time.
  for (Record& record : records) EXPECT_EQ(record["seconds"], records[0]["seconds"]) << out_;
  // The second board was not asked anything before the first one's unit ended.
  const std::string firstEnd = "[a] unit 1: updated";
  EXPECT_NE(out_.find(firstEnd), std::string::npos) << out_;
  EXPECT_LT(err_.find("[a] Update completed"), err_.find("[b] Deveice Firmware Version")) << err_;
}

// --port: boards on other ports are left alone.
TEST_F(StationTest, OnlyTheGivenPortsAreWatched) {
  line_.ports = {"b"};
  ASSERT_EQ(run("0+a 0+b", 1), kExitSuccess) << err_;
  ASSERT_EQ(ledger().size(), 1u);
  EXPECT_EQ(ledger()[0]["port"], "b");
  EXPECT_EQ(sent(0, CmdReadVersion), 0u);
}

// A device whose port the system does not tell is not taken, and says why once.
TEST_F(StationTest, ADeviceWithoutAPortIsNotTaken) {
  platform_.setReportsPorts(false);
  // The shift ends a moment after it began (the watch goes on meanwhile).
  std::thread operatorStops([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop_.request(SIGINT);
  });
  const int status = run("0+a", 0);
  operatorStops.join();
  EXPECT_EQ(status, kExitSuccess) << err_;
  EXPECT_TRUE(ledger().empty());
  const std::string note = "Device sim/0/0 is not taken: the system tells no port for it";
  const size_t at = err_.find(note);
  EXPECT_NE(at, std::string::npos) << err_;
  EXPECT_EQ(err_.find(note, at + 1), std::string::npos) << err_;
  EXPECT_EQ(sent(0, CmdReadVersion), 0u);
}

TEST_F(StationTest, UnderJsonEveryUnitIsOneObject) {
  line_.json = true;
  ASSERT_EQ(run("0+a", 1), kExitSuccess) << err_;
  std::vector<Record> units;
  for (size_t start = 0; start < out_.size();) {
    const size_t end = out_.find('\n', start);
    Record object;
    ASSERT_TRUE(parseFlatJsonObject(out_.substr(start, end - start), &object)) << out_;
    EXPECT_NE(object["event"], "result");  // one object per unit, not per attempt
    if (object["event"] == "unit") units.push_back(object);
    start = end + 1;
  }
  ASSERT_EQ(units.size(), 1u);
  EXPECT_EQ(units[0]["device"], "a");
  EXPECT_EQ(units[0]["serial"], "SIM0001");
  EXPECT_EQ(units[0]["sha256"], ledger()[0]["sha256"]);
}

// The ledger never replaces the firmware file, and a ledger that cannot be
// written stops the station with a failure.
TEST_F(StationTest, TheLedgerIsRefusedOrItsFailureStopsTheStation) {
  line_.ledgerPath = image_;
  EXPECT_EQ(run("0+a", 1), kExitUsage);
  EXPECT_NE(err_.find("it is the firmware file"), std::string::npos) << err_;

  line_.ledgerPath = "/dev/full";
  SimulatedPlatform second;
  EXPECT_EQ(run("0+a 0+b 30000+c", 0, &second), kExitFailure);
  EXPECT_NE(err_.find("cannot write the ledger /dev/full"), std::string::npos) << err_;
  EXPECT_EQ(second.model(2).commandCount(CmdReadVersion), 0u);  // no unit after the failure
}

}  // namespace

TEST(StationRule, WhatABoardSaysOfItselfTellsIt) {
  PortMemory memory;
  memory.applicationSerial = "A1";
  EXPECT_EQ(judgeArrival(memory, kModeApplication, "A1", true), ArrivalVerdict::kSameBoard);
  EXPECT_EQ(judgeArrival(memory, kModeApplication, "A2", true), ArrivalVerdict::kNewUnit);
  // The bootloader's serial is compared only with a bootloader's.
  EXPECT_EQ(judgeArrival(memory, kModeBootloader, "A2", true), ArrivalVerdict::kSameBoard);
  memory.bootloaderSerial = "B1";
  EXPECT_EQ(judgeArrival(memory, kModeBootloader, "B2", false), ArrivalVerdict::kNewUnit);
  // Without serials the version tells, where the file has one.
  PortMemory silent;
  EXPECT_EQ(judgeArrival(silent, kModeApplication, "", true), ArrivalVerdict::kAskVersion);
  EXPECT_EQ(judgeArrival(silent, kModeApplication, "X", true), ArrivalVerdict::kAskVersion);
  EXPECT_EQ(judgeArrival(silent, kModeApplication, "", false), ArrivalVerdict::kSameBoard);
  EXPECT_EQ(judgeArrival(silent, kModeBootloader, "", true), ArrivalVerdict::kSameBoard);
  EXPECT_FALSE(settled(-1, 100000, 3));
  EXPECT_FALSE(settled(1000, 3999, 3));
  EXPECT_TRUE(settled(1000, 4000, 3));
}

TEST(StationLedger, RecordsInTheJsonStyle) {
  EXPECT_EQ(utcTimestamp(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(utcTimestamp(1709251199), "2024-02-29T23:59:59Z");
  UnitRecord record;
  record.unixSeconds = 86400;
  record.port = "1-2";
  record.reason = "write";
  record.attempts = 3;
  record.seconds = 12.34;
  EXPECT_EQ(unitRecordObject(record).text(),
            "{\"time\":\"1970-01-02T00:00:00Z\",\"station\":\"\",\"port\":\"1-2\",\"serial\":\"\","
            "\"model\":\"\",\"version-before\":\"\",\"file\":\"\",\"sha256\":\"\",\"result\":"
            "\"failed\",\"reason\":\"write\",\"attempts\":3,\"seconds\":12.3}");
  EXPECT_EQ(ledgerPathProblem("units.jsonl", "fw.bin", "run.log", ""), "");
  EXPECT_EQ(ledgerPathProblem("run.log", "fw.bin", "run.log", ""), "it is the log (--log)");
  EXPECT_EQ(ledgerPathProblem("x.bin", "fw.bin", "", "x.bin"), "it is the --image-out path");
}

TEST(SimulatedSchedule, MalformedEventsAreRefused) {
  std::vector<ScheduledEvent> events;
  std::string problem;
  ASSERT_TRUE(
      parseSimulatedSchedule("0+a/serial=S1/boot;9000-a  12000+b/vanish=4/stay", &events, &problem))
      << problem;
  ASSERT_EQ(events.size(), 3u);
  EXPECT_TRUE(events[0].bootloader && events[0].serialSet && events[0].serial == "S1");
  EXPECT_FALSE(events[1].plug);
  EXPECT_EQ(events[1].atMs, 9000);
  EXPECT_EQ(events[2].vanishAfter, 4u);
  EXPECT_FALSE(events[2].restart);
  for (const char* bad :
       {"", "a+0", "0+", "x+a", "0+a/fast", "0-a/boot", "0+a/vanish=0", "99999999999+a"})
    EXPECT_FALSE(parseSimulatedSchedule(bad, &events, &problem)) << bad;
}
