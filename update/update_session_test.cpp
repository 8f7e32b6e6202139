#include "update/update_session.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/update_context.h"
#include "image/crc32.h"
#include "sim/simulated_platform.h"
#include "tests/capture_listener.h"
#include "tests/image_builders.h"
#include "tests/sim_support.h"
#include "update/commands.h"

namespace {

using testimage::Bytes;

constexpr const char* kModel = "TVR-100";

// A raw image of `length` bytes whose info block names `model`.
Bytes rawImage(size_t length, const std::string& model = kModel) {
  const std::string block =
      std::string("ABabQXFW\x01") + static_cast<char>(model.size() + 2) + model;
  Bytes image;
  for (char c : block) image.push_back(static_cast<uint8_t>(c));
  image.push_back(0);
  image.push_back(0);  // end of the records
  for (size_t i = image.size(); i < length; ++i) image.push_back(static_cast<uint8_t>(i * 7));
  image.resize(length);
  return image;
}

// Enumeration that takes 700 ms of the virtual clock.
class SlowEnumeration : public SimulatedPlatform {
 public:
  bool enumerateInterfaces(std::vector<std::string>* paths) override {
    advance(700);
    return SimulatedPlatform::enumerateInterfaces(paths);
  }
};

// Denies every open of a re-enumerated device (its bootloader).
class BootloaderDenied : public SimulatedPlatform {
 public:
  std::unique_ptr<HidConnection> open(const std::string& path, HidOpenPurpose purpose,
                                      HidOpenError* error, std::string* errorText) override {
    if (path.size() > 2 && path.substr(path.size() - 2) != "/0") {
      *error = kHidOpenDenied;
      return nullptr;
    }
    return SimulatedPlatform::open(path, purpose, error, errorText);
  }
};

// Every write of a chunk fails as on a node that has gone, with the system's
// words for it; the rest goes to the simulated device.
class ChunkWritesFail : public SimulatedPlatform {
 public:
  std::unique_ptr<HidConnection> open(const std::string& path, HidOpenPurpose purpose,
                                      HidOpenError* error, std::string* errorText) override {
    std::unique_ptr<HidConnection> inner =
        SimulatedPlatform::open(path, purpose, error, errorText);
    if (!inner) return nullptr;
    return std::make_unique<Connection>(std::move(inner));
  }

 private:
  class Connection : public HidConnection {
   public:
    explicit Connection(std::unique_ptr<HidConnection> inner) : inner_(std::move(inner)) {}
    bool readAttributes(uint16_t* v, uint16_t* p) override { return inner_->readAttributes(v, p); }
    bool readCaps(uint16_t* page, uint16_t* usage) override {
      return inner_->readCaps(page, usage);
    }
    void flushInput() override { inner_->flushInput(); }
    HidWaitResult writeReport(const uint8_t* report, uint32_t timeoutMs) override {
      failed_ = report[kOffsetPayload] == CmdWriteData;
      return failed_ ? kHidWaitFailed : inner_->writeReport(report, timeoutMs);
    }
    HidWaitResult readReport(uint8_t* report, uint32_t timeoutMs, uint32_t* count) override {
      failed_ = false;
      return inner_->readReport(report, timeoutMs, count);
    }
    void cancelIo() override { inner_->cancelIo(); }
    std::string lastError() const override { return failed_ ? "No such device" : ""; }

   private:
    std::unique_ptr<HidConnection> inner_;
    bool failed_ = false;
  };
};

// Asks to stop, as Ctrl-C does, at the first enumeration or the first sleep.
class CtrlC : public SimulatedPlatform {
 public:
  CtrlC(StopRequest& stop, bool duringSleep) : stop_(stop), duringSleep_(duringSleep) {}
  bool enumerateInterfaces(std::vector<std::string>* paths) override {
    if (!duringSleep_) once();
    return SimulatedPlatform::enumerateInterfaces(paths);
  }
  void sleepMilliseconds(uint32_t ms) override {
    if (duringSleep_) once();
    SimulatedPlatform::sleepMilliseconds(ms);
  }

 private:
  void once() {
    if (!raised_) stop_.request(SIGINT);
    raised_ = true;
  }
  StopRequest& stop_;
  bool duringSleep_;
  bool raised_ = false;
};

class UpdateSessionTest : public testing::Test {
 protected:
  void SetUp() override {
    usePlatform(std::make_unique<SimulatedPlatform>());
    static_cast<DeviceFilter&>(context_) = scannerFilter();
    dir_ = std::filesystem::temp_directory_path() /
           ("tavrin_session_" + std::to_string(::getpid()) + "_" +
            testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void usePlatform(std::unique_ptr<SimulatedPlatform> platform) { sim_ = std::move(platform); }

  DeviceModelConfig device(DeviceMode mode = kModeApplication, const std::string& model = kModel) {
    DeviceModelConfig c = scannerConfig(model, "1.2", mode);
    c.protocolVersion = mode == kModeBootloader ? 2 : 1;
    c.capabilityMask = 0x01;
    c.reenumerateDelayMs = 0;
    return c;
  }

  void useFile(const std::string& name, const Bytes& bytes) {
    std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    context_.firmwarePath = path;
  }

  // The update as the command line runs it: the file, then a session.
  std::string run() {
    CaptureListener listener;
    UpdateSetup setup;
    setup.filter = context_;
    setup.platform = sim_.get();
    setup.listener = &listener;
    setup.stop = &stop_;
    setup.bootIdsGiven = bootIdsGiven_;
    setup.verbose = context_.verbose;
    FirmwareInfo info;
    result_ = runFileUpdate(context_.firmwarePath, TextEncoding::kUtf8, context_, info, context_,
                            setup);
    EXPECT_EQ(listener.result.outcome, result_.outcome);
    return listener.err;
  }
  bool updateSucceeded() const { return result_.updated(); }
  const UpdateResult& lastUpdateResult() const { return result_; }

  // Command codes of the frames a device received, in order.
  std::vector<uint8_t> commands(size_t id) {
    std::vector<uint8_t> codes;
    for (const Report& frame : sim_->frameLog(id)) codes.push_back(frame[kOffsetPayload]);
    return codes;
  }

  // Every frame that carried `command` to device id, in order.
  std::vector<Report> framesOf(size_t id, uint8_t command) {
    std::vector<Report> found;
    for (const Report& frame : sim_->frameLog(id))
      if (frame[kOffsetPayload] == command) found.push_back(frame);
    return found;
  }

  // The one frame that carried `command`; fails the test when there is not exactly one.
  Report frameOf(size_t id, uint8_t command) {
    std::vector<Report> found = framesOf(id, command);
    EXPECT_EQ(found.size(), 1u) << "frames with command " << int{command};
    return found.empty() ? Report{} : found.front();
  }

  // The failure exit, and the reason a script reads (--json).
  void expectFailedExit(const char* reason) {
    EXPECT_STREQ(updateOutcomeName(lastUpdateResult().outcome), reason);
    EXPECT_FALSE(updateSucceeded());
    EXPECT_EQ(context_.sessionState, StateIdle);
    EXPECT_EQ(context_.imageData, nullptr);
  }

  UpdateContext context_;
  UpdateResult result_;
  StopRequest stop_;
  bool bootIdsGiven_ = false;
  std::unique_ptr<SimulatedPlatform> sim_;
  std::filesystem::path dir_;
};

const std::vector<uint8_t> kFullUpdate = {
    CmdReadVersion, CmdGetInfo,   CmdEnterBootloader, CmdReadVersion, CmdGetInfo, CmdSetProtocol,
    CmdStartUpdate, CmdWriteData, CmdWriteData,       CmdWriteData,   CmdVerify,  CmdFinish};

TEST_F(UpdateSessionTest, UpdatesADeviceRunningItsApplicationFirmware) {
  const Bytes image = rawImage(40);
  useFile("fw.bin", image);
  size_t id = sim_->addDevice(device());

  EXPECT_EQ(run(),
            "Deveice Firmware Version: 1.2\n"
            "Swithing to bootloader...\n"
            "Waiting bootloader...\n"
            "Bootloader Connected\n"
            "Get bootloader protocol version...\n"
            "Start updating\n"
            "Writing firmware data...\n"
            "Process: %40\rProcess: %80\rProcess: %100\n"
            "Verifying...\n"
            "Update completed\n");
  EXPECT_TRUE(updateSucceeded());
  EXPECT_EQ(context_.sessionState, StateFinish);
  EXPECT_NE(context_.imageData, nullptr);  // kept after success
  EXPECT_EQ(commands(id), kFullUpdate);
  EXPECT_EQ(sim_->model(id).storedImage(), image);
  EXPECT_TRUE(sim_->model(id).finished());
  // What a station keeps of it.
  EXPECT_EQ(lastUpdateResult().fileModel, kModel);
  EXPECT_STREQ(sessionStateName(lastUpdateResult().state), "finish");
  EXPECT_TRUE(lastUpdateResult().ports.empty());
  // Running its new firmware: nothing waits in a bootloader.
  EXPECT_FALSE(stop_.devicesWaitInBootloader());
}

TEST_F(UpdateSessionTest, ACursorUsedAgainStartsFromTheImagesStart) {
  const Bytes image = rawImage(40);
  useFile("fw.bin", image);
  size_t id = sim_->addDevice(device());
  run();
  ASSERT_TRUE(updateSucceeded());
  // The same record again (a retry, a station's next device): the device,
  // left in its bootloader, gets the whole image once more.
  const std::string err = run();
  EXPECT_TRUE(updateSucceeded()) << err;
  EXPECT_EQ(sim_->model(id).storedImage(), image);
  EXPECT_EQ(framesOf(id, CmdWriteData).size(), 6u);
}

TEST_F(UpdateSessionTest, ImageGoesOutInChunksOf16WithFlag1) {
  useFile("fw.bin", rawImage(40));
  size_t id = sim_->addDevice(device());
  run();
  std::vector<Report> chunks = framesOf(id, CmdWriteData);
  ASSERT_EQ(chunks.size(), 3u);
  // Payload lengths 17, 17 and 9: the length byte is two more.
  EXPECT_EQ(chunks[0][kOffsetLength], 19);
  EXPECT_EQ(chunks[1][kOffsetLength], 19);
  EXPECT_EQ(chunks[2][kOffsetLength], 11);
  for (const Report& chunk : chunks) EXPECT_EQ(chunk[kOffsetFlag], 0x56);
  EXPECT_EQ(frameOf(id, CmdStartUpdate)[kOffsetFlag], 0x56);
  EXPECT_EQ(frameOf(id, CmdVerify)[kOffsetFlag], 0x55);
}

TEST_F(UpdateSessionTest, EveryFrameCarriesTheMaskAndAFreshSequenceNumber) {
  useFile("fw.bin", rawImage(40));
  size_t id = sim_->addDevice(device());
  run();
  const std::vector<Report>& frames = sim_->frameLog(id);
  ASSERT_EQ(frames.size(), kFullUpdate.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i][kOffsetProtocolMask], 0xAA);  // the default: the file names none
    EXPECT_EQ(frames[i][kOffsetSequence], i + 1);
  }
}

TEST_F(UpdateSessionTest, VerifyCarriesTheImageCrcTwice) {
  // The three bytes abc carry no info block: the file names no model, and a
  // device that reports none is the one.
  useFile("abc.bin", {0x61, 0x62, 0x63});
  size_t id = sim_->addDevice(device(kModeApplication, ""));
  std::string err = run();
  EXPECT_TRUE(updateSucceeded()) << err;
  const Report verify = frameOf(id, CmdVerify);
  // Length and complement, sequence (the ninth frame), then the payload.
  const uint8_t expected[] = {0x0B, 0xF4, 9, 0x65, 0x3D, 0xBE, 0xDB, 0xCA, 0x3D, 0xBE, 0xDB, 0xCA};
  EXPECT_EQ(0, std::memcmp(&verify[kOffsetLength], expected, sizeof expected));
}

TEST_F(UpdateSessionTest, OneChunkImagePrintsOnlyTheLastProgressLine) {
  useFile("one.bin", rawImage(16, "AB"));
  sim_->addDevice(device(kModeApplication, "AB"));
  EXPECT_NE(run().find("Writing firmware data...\nProcess: %100\nVerifying...\n"),
            std::string::npos);
}

TEST_F(UpdateSessionTest, ProgressNeverPrintsZeroPercent) {
  useFile("big.bin", rawImage(3200));
  size_t id = sim_->addDevice(device());
  const std::string err = run();
  // The first chunk is 0 %, which is never printed; the second is 1 %.
  std::string expected = "Writing firmware data...\n";
  for (int p = 1; p < 100; ++p) expected += "Process: %" + std::to_string(p) + "\r";
  expected += "Process: %100\nVerifying...\n";
  EXPECT_NE(err.find(expected), std::string::npos) << err;
  EXPECT_EQ(sim_->model(id).storedImage(), rawImage(3200));
}

TEST_F(UpdateSessionTest, ContainerSendsItsSelectionMaskAndStoredPayload) {
  const Bytes payload = testimage::nibbleSwapped(rawImage(40));
  useFile("fw.qfw",
          testimage::simpleContainer(2, kModel, "2.0", payload, 0x12345678, {{3, {0x5A}}}));
  DeviceModelConfig config = device();
  config.capabilityMask = 0x03;
  size_t id = sim_->addDevice(config);
  std::string err = run();
  EXPECT_NE(err.find("Update completed\n"), std::string::npos) << err;
  ASSERT_EQ(commands(id), kFullUpdate);
  EXPECT_EQ(frameOf(id, CmdSetProtocol)[kOffsetPayload + 1], 1);
  // The header's protocol mask goes into every frame.
  for (const Report& frame : sim_->frameLog(id)) EXPECT_EQ(frame[kOffsetProtocolMask], 0x5A);
  EXPECT_EQ(sim_->model(id).storedImage(), payload);  // sent in stored form
  const Report verify = frameOf(id, CmdVerify);
  EXPECT_EQ(verify[kOffsetPayload + 5], 0x78);  // check word passed unchanged
  EXPECT_EQ(verify[kOffsetPayload + 8], 0x12);
}

TEST_F(UpdateSessionTest, ContainerNeedsBootloaderProtocolBit0) {
  useFile("fw.qfw",
          testimage::simpleContainer(1, kModel, "2.0", testimage::nibbleSwapped(rawImage(40)), 0));
  DeviceModelConfig config = device();
  config.capabilityMask = 0x02;
  size_t id = sim_->addDevice(config);
  std::string err = run();
  EXPECT_TRUE(endsWith(err, "Error: Protocol version mismatch\n")) << err;
  expectFailedExit("protocol-mismatch");
  EXPECT_EQ(commands(id).back(), CmdGetInfo);
}

TEST_F(UpdateSessionTest, RawImageSelectsProtocol0WhateverTheMask) {
  useFile("fw.bin", rawImage(40));
  DeviceModelConfig config = device();
  config.capabilityMask = 0xFF;
  size_t id = sim_->addDevice(config);
  run();
  EXPECT_EQ(frameOf(id, CmdSetProtocol)[kOffsetPayload + 1], 0);
}

// A failure without a message of its own: --verbose names what the system
// said of it, after the session's own words.
TEST_F(UpdateSessionTest, VerboseNamesTheSystemsReasonForAFailedWrite) {
  usePlatform(std::make_unique<ChunkWritesFail>());
  context_.verbose = true;
  useFile("fw.bin", rawImage(40));
  sim_->addDevice(device());
  const std::string err = run();
  const std::string why =
      "Error: no answer to the write request at offset 0x0000 after 6 sends (the device is gone "
      "or failed: No such device)";
  EXPECT_TRUE(endsWith(err, "Writing firmware data...\n" + why + "\n")) << err;
  EXPECT_EQ(lastUpdateResult().detail, why);
}

TEST_F(UpdateSessionTest, DeviceAlreadyInItsBootloaderIsNotSwitched) {
  useFile("fw.bin", rawImage(20));
  size_t id = sim_->addDevice(device(kModeBootloader));  // version 2 is fine here
  EXPECT_EQ(run(),
            "Deveice Firmware Version: 1.2\n"
            "Start updating\n"
            "Writing firmware data...\n"
            "Process: %80\rProcess: %100\n"
            "Verifying...\n"
            "Update completed\n");
  EXPECT_EQ(commands(id),
            (std::vector<uint8_t>{CmdReadVersion, CmdGetInfo, CmdSetProtocol, CmdStartUpdate,
                                  CmdWriteData, CmdWriteData, CmdVerify, CmdFinish}));
}

TEST_F(UpdateSessionTest, BootloaderOfProtocolVersion3IsRefused) {
  useFile("fw.bin", rawImage(20));
  DeviceModelConfig config = device(kModeBootloader);
  config.protocolVersion = 3;
  size_t id = sim_->addDevice(config);
  EXPECT_EQ(run(), "Deveice Firmware Version: 1.2\nError: Unknown protocol version\n");
  expectFailedExit("protocol-version");
  EXPECT_EQ(commands(id).back(), CmdGetInfo);
}

TEST_F(UpdateSessionTest, VersionNoWellFormedAnswerGaveIsUnknown) {
  useFile("fw.bin", rawImage(20));
  DeviceModelConfig config = device(kModeBootloader);
  config.faults.push_back({FaultKind::kWrongMarker, CmdGetInfo, 1, 1, 0});
  size_t id = sim_->addDevice(config);
  EXPECT_EQ(run(), "Deveice Firmware Version: 1.2\nError: Unknown protocol version\n");
  expectFailedExit("protocol-version");
  EXPECT_EQ(commands(id).back(), CmdGetInfo);
}

TEST_F(UpdateSessionTest, BootloaderReachedBySwitchMustSpeakVersion1) {
  useFile("fw.bin", rawImage(20));
  DeviceModelConfig config = device();
  config.protocolVersion = 2;
  size_t id = sim_->addDevice(config);
  std::string err = run();
  EXPECT_EQ(err.substr(err.find("Get bootloader")),
            "Get bootloader protocol version...\nError: Unknown protocol version\n");
  expectFailedExit("protocol-version");
  EXPECT_EQ(commands(id).size(), 5u);
}

TEST_F(UpdateSessionTest, NoDeviceListed) {
  useFile("fw.bin", rawImage(20));
  EXPECT_EQ(run(), "No specified VID/PID HID device detected!");
  expectFailedExit("no-device");
}

TEST_F(UpdateSessionTest, NoDeviceOfTheFilesModel) {
  useFile("fw.bin", rawImage(20));
  size_t other = sim_->addDevice(device(kModeApplication, "OTHER"));
  EXPECT_EQ(run(), "Deveice Firmware Version: 1.2\nDevice not connected\n");
  expectFailedExit("wrong-model");
  EXPECT_EQ(commands(other), std::vector<uint8_t>{CmdReadVersion});
}

TEST_F(UpdateSessionTest, TwoDevicesOfTheFilesModelGetNothingButTheVersionRequest) {
  useFile("fw.bin", rawImage(20));
  size_t a = sim_->addDevice(device());
  size_t b = sim_->addDevice(device());
  EXPECT_EQ(run(),
            "Deveice Firmware Version: 1.2\nDeveice Firmware Version: 1.2\n"
            "Multiple HID devices detected, please disconnect other HID devices\n");
  expectFailedExit("multiple-devices");
  EXPECT_EQ(lastUpdateResult().ports, (std::vector<std::string>{"sim-0", "sim-1"}));
  EXPECT_EQ(commands(a), std::vector<uint8_t>{CmdReadVersion});
  EXPECT_EQ(commands(b), std::vector<uint8_t>{CmdReadVersion});
}

TEST_F(UpdateSessionTest, TheOneDeviceOfTheFilesModelIsUpdatedAmongOthers) {
  useFile("fw.bin", rawImage(20));
  size_t other = sim_->addDevice(device(kModeApplication, "OTHER"));
  DeviceModelConfig mute = device();
  mute.faults.push_back({FaultKind::kNoAnswer, CmdReadVersion, 1, 0, 0});
  size_t silent = sim_->addDevice(mute);
  size_t target = sim_->addDevice(device());
  std::string err = run();
  EXPECT_TRUE(startsWith(err, "Deveice Firmware Version: 1.2\nDeveice Firmware Version: 1.2\n")) << err;
  EXPECT_TRUE(updateSucceeded()) << err;
  EXPECT_EQ(commands(other), std::vector<uint8_t>{CmdReadVersion});
  EXPECT_EQ(commands(silent), std::vector<uint8_t>{CmdReadVersion});
  EXPECT_EQ(sim_->model(target).storedImage(), rawImage(20));
  // The device passed over says why under --verbose, on a line of its own.
  context_.verbose = true;
  usePlatform(std::make_unique<SimulatedPlatform>());
  sim_->addDevice(mute);
  EXPECT_EQ(run(),
            "Error: no answer to the version request from port sim-0 (no answer within a "
            "second)\nDevice not connected\n");
}

TEST_F(UpdateSessionTest, VersionAnswerWithoutMarkerIsNoModel) {
  // It must not inherit another device's model and make the selection ambiguous.
  useFile("fw.bin", rawImage(20));
  size_t target = sim_->addDevice(device(kModeBootloader));
  DeviceModelConfig odd = device();
  odd.faults.push_back({FaultKind::kWrongMarker, CmdReadVersion, 1, 0, 0});
  size_t other = sim_->addDevice(odd);
  std::string err = run();
  EXPECT_TRUE(startsWith(err, "Deveice Firmware Version: 1.2\nDeveice Firmware Version: \n")) << err;
  EXPECT_TRUE(updateSucceeded()) << err;
  EXPECT_EQ(commands(other), std::vector<uint8_t>{CmdReadVersion});
  EXPECT_EQ(sim_->model(target).storedImage(), rawImage(20));
}

TEST_F(UpdateSessionTest, BootloaderAnsweringWithoutMarkerFailsTheModelCheck) {
  useFile("fw.bin", rawImage(20));
  DeviceModelConfig odd = device();
  odd.faults.push_back({FaultKind::kWrongMarker, CmdReadVersion, 2, 1, 0});
  sim_->addDevice(odd);
  std::string err = run();
  EXPECT_TRUE(endsWith(err, "Bootloader Connected\nError: Incorrect bootloader model\n")) << err;
  expectFailedExit("wrong-bootloader-model");
}

TEST_F(UpdateSessionTest, MissingFileIsNotAValidFirmwareFile) {
  for (const char* name : {"missing.bin", "missing.hex", "missing.qfw"}) {
    context_.firmwarePath = (dir_ / name).string();
    context_.verbose = false;
    sim_->addDevice(device());
    const std::string silent = run();
    EXPECT_TRUE(endsWith(silent, "Error: The input file is not a valid firmware file!")) << silent;
    expectFailedExit("invalid-file");
    // The reason is kept for --json and --log, and said under --verbose.
    const std::string why = "Error: cannot read " + context_.firmwarePath +
                            ": No such file or directory";
    EXPECT_EQ(lastUpdateResult().detail, why);
    context_.verbose = true;
    EXPECT_EQ(run(), silent + "\n" + why + "\n");
  }
  // A directory is no firmware file either.
  context_.firmwarePath = dir_.string();
  run();
  EXPECT_EQ(lastUpdateResult().detail, "Error: cannot read " + dir_.string() + ": Is a directory");
  context_.firmwarePath.clear();
  run();
  EXPECT_EQ(lastUpdateResult().detail, "Error: no firmware file was named (-f FILE)");
}

TEST_F(UpdateSessionTest, AnUpperCaseExtensionIsNotedUnderVerbose) {
  useFile("FW.HEX", rawImage(20));
  sim_->addDevice(device());
  const std::string quiet = run();
  EXPECT_TRUE(updateSucceeded()) << quiet;
  usePlatform(std::make_unique<SimulatedPlatform>());
  sim_->addDevice(device());
  context_.writeOffset = 0;  // a cursor serves one session
  context_.verbose = true;
  EXPECT_EQ(run(), "Note: " + context_.firmwarePath +
                       " is read as a raw image: the extension is case-sensitive, and only a name "
                       "ending in hex is read as Intel HEX\n" + quiet);
}

TEST_F(UpdateSessionTest, EmptyImageIsRefusedBeforeAnyDeviceIsTouched) {
  useFile("empty.bin", {});
  size_t id = sim_->addDevice(device());
  EXPECT_EQ(run(), "Error: The firmware image is empty\n");
  expectFailedExit("empty-image");
  EXPECT_TRUE(commands(id).empty());
}

// One row of the failure table: a device set-up, the tail of the messages, and
// the last command the device saw (nothing is sent after a failure).
struct FailureCase {
  const char* name;
  std::function<void(DeviceModelConfig&)> setUp;
  std::string tail;
  uint8_t lastCommand;
  const char* outcome;       // the reason a script reads
  uint32_t state;            // where the session ended
  const char* verbose = "";  // the line --verbose adds to a failure without a message
};

void PrintTo(const FailureCase& c, std::ostream* os) {
  *os << c.name;
}

class FailureRowTest : public UpdateSessionTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(FailureRowTest, TakesTheFailureExit) {
  const FailureCase& fc = GetParam();
  useFile("fw.bin", rawImage(40));
  DeviceModelConfig config = device();
  fc.setUp(config);
  size_t id = sim_->addDevice(config);
  std::string err = run();
  EXPECT_TRUE(endsWith(err, fc.tail)) << err;
  expectFailedExit(fc.outcome);
  EXPECT_EQ(commands(id).back(), fc.lastCommand);
  EXPECT_EQ(lastUpdateResult().state, fc.state);
  // The message is what was printed last; empty for the silent rows.
  EXPECT_TRUE(endsWith(err, lastUpdateResult().message)) << err;
}

TEST_P(FailureRowTest, VerboseExplainsOnlyTheSilentOnes) {
  const FailureCase& fc = GetParam();
  context_.verbose = true;
  useFile("fw.bin", rawImage(40));
  DeviceModelConfig config = device();
  fc.setUp(config);
  sim_->addDevice(config);
  const std::string err = run();
  const std::string line = *fc.verbose == '\0' ? "" : std::string(fc.verbose) + "\n";
  // A progress line still open is ended first.
  const std::string tail = fc.tail + (line.empty() || fc.tail.back() == '\n' ? "" : "\n") + line;
  EXPECT_TRUE(endsWith(err, tail)) << err;
  EXPECT_EQ(lastUpdateResult().message.empty(), false);
}

DeviceFault lost(uint8_t command, uint32_t first, uint32_t count = 1) {
  return {FaultKind::kNoAnswer, command, first, count, 0};
}

INSTANTIATE_TEST_SUITE_P(
    UpdateSession, FailureRowTest,
    testing::Values(
        FailureCase{"QueryModeUnanswered",
                    [](DeviceModelConfig& c) { c.faults.push_back(lost(CmdGetInfo, 1)); },
                    "Deveice Firmware Version: 1.2\n", CmdGetInfo, "get-info", StateQueryMode,
                    "Error: no answer to the information request (no answer within a second)"},
        FailureCase{"BootloaderInfoUnanswered",
                    [](DeviceModelConfig& c) { c.faults.push_back(lost(CmdGetInfo, 2)); },
                    "Get bootloader protocol version...\n", CmdGetInfo, "get-info",
                    StateQueryBootloader,
                    "Error: the bootloader did not answer the information request (no answer "
                    "within a second)"},
        FailureCase{"BootloaderVersionRequestsUnanswered",
                    [](DeviceModelConfig& c) { c.faults.push_back(lost(CmdReadVersion, 2, 0)); },
                    "Bootloader Connected\nError: Bootloader not responding\n", CmdReadVersion,
                    "bootloader-not-responding", StateCheckModel},
        FailureCase{"SetProtocolRefused", [](DeviceModelConfig& c) { c.setProtocolResult = 1; },
                    "Error: set procotol failed\n", CmdSetProtocol, "set-protocol",
                    StateSetProtocol},
        FailureCase{"SetProtocolWrongEcho",
                    [](DeviceModelConfig& c) {
                      c.faults.push_back({FaultKind::kWrongEcho, CmdSetProtocol, 1, 1, 0});
                    },
                    "Error: set procotol failed\n", CmdSetProtocol, "set-protocol",
                    StateSetProtocol},
        FailureCase{"SetProtocolUnanswered",
                    [](DeviceModelConfig& c) { c.faults.push_back(lost(CmdSetProtocol, 1)); },
                    "Error: set procotol failed\n", CmdSetProtocol, "set-protocol",
                    StateSetProtocol},
        FailureCase{"StartUpdateUnanswered",
                    [](DeviceModelConfig& c) { c.faults.push_back(lost(CmdStartUpdate, 1)); },
                    "Start updating\n", CmdStartUpdate, "start-update", StateStartUpdate,
                    "Error: no answer to the start request (no answer within a second)"},
        FailureCase{"ChunkUnansweredSixTimes",
                    [](DeviceModelConfig& c) { c.faults.push_back(lost(CmdWriteData, 2, 6)); },
                    "Writing firmware data...\nProcess: %40\r", CmdWriteData, "write",
                    StateWriteData,
                    "Error: no answer to the write request at offset 0x0010 after 6 sends (no "
                    "answer within a second)"},
        FailureCase{"VerifyFails",
                    [](DeviceModelConfig& c) { c.verify = VerifyBehaviour::kAlwaysFail; },
                    "Verifying...\nVerify failed\n", CmdVerify, "verify", StateVerify},
        FailureCase{"VerifyWrongMarker",
                    [](DeviceModelConfig& c) {
                      c.faults.push_back({FaultKind::kWrongMarker, CmdVerify, 1, 1, 0});
                    },
                    "Verifying...\nVerify failed\n", CmdVerify, "verify", StateVerify},
        FailureCase{"VerifyUnanswered",
                    [](DeviceModelConfig& c) { c.faults.push_back(lost(CmdVerify, 1)); },
                    "Verifying...\nVerify failed\n", CmdVerify, "verify", StateVerify}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(UpdateSessionTest, ChunkAnsweredOnItsSixthSendGoesThrough) {
  useFile("fw.bin", rawImage(40));
  DeviceModelConfig config = device();
  config.faults.push_back(lost(CmdWriteData, 2, 5));
  size_t id = sim_->addDevice(config);
  std::string err = run();
  EXPECT_TRUE(updateSucceeded()) << err;
  EXPECT_EQ(framesOf(id, CmdWriteData).size(), 3u + 5u);
  EXPECT_EQ(context_.retryCount, 1);  // the last chunk went through at once
}

TEST_F(UpdateSessionTest, AChunkWhoseWriteIsHeldPastItsSecondIsStoredOnce) {
  // The device takes the second chunk 2.5 s after it was written: the first
  // two sends give up on it, the third finds it taken and reads its answer.
  const Bytes image = rawImage(40);
  useFile("fw.bin", image);
  DeviceModelConfig config = device();
  config.faults.push_back({FaultKind::kHeldWrite, CmdWriteData, 2, 1, 2500});
  size_t id = sim_->addDevice(config);
  std::string err = run();
  EXPECT_TRUE(updateSucceeded()) << err;
  EXPECT_EQ(sim_->model(id).storedImage(), image);
  EXPECT_EQ(framesOf(id, CmdWriteData).size(), 3u);
  EXPECT_EQ(context_.retryCount, 1);
  EXPECT_EQ(sim_->heldWrites().behind, 0u);
}

TEST_F(UpdateSessionTest, ADeviceThatStopsTakingReportsIsLeftWithinSevenSeconds) {
  // After the first chunk the device takes no report: the next write is held
  // until the system gives up on it after five seconds, and nothing is
  // written behind it. The update ends, and the held write with it, within
  // seven seconds of that write.
  useFile("fw.bin", rawImage(40));
  DeviceModelConfig config = device();
  config.stopTakingAfterDataFrames = 1;
  size_t id = sim_->addDevice(config);
  sim_->setRecordFrames(true);
  context_.verbose = true;
  std::string err = run();
  EXPECT_TRUE(endsWith(err,
                       "Error: no answer to the write request at offset 0x0010 after 6 "
                       "sends (no answer within a second)\n"))
      << err;
  expectFailedExit("write");
  const auto& taken = sim_->host().takenFrames(0);
  ASSERT_FALSE(taken.empty());
  const int64_t firstUnansweredMs = taken.back().takenUs / 1000;
  const int64_t exitMs =
      std::max(sim_->monotonicMilliseconds(), sim_->heldWrites().lastEndUs / 1000);
  EXPECT_LE(exitMs - firstUnansweredMs, 7000);
  EXPECT_EQ(sim_->heldWrites().held, 1u);
  EXPECT_EQ(sim_->heldWrites().behind, 0u);
  EXPECT_EQ(framesOf(id, CmdWriteData).size(), 1u);
}

TEST_F(UpdateSessionTest, MalformedChunkAnswerIsNoReasonToResend) {
  useFile("fw.bin", rawImage(40));
  DeviceModelConfig config = device();
  config.faults.push_back({FaultKind::kGarbage, CmdWriteData, 1, 0, 0});
  size_t id = sim_->addDevice(config);
  run();
  EXPECT_EQ(framesOf(id, CmdWriteData).size(), 3u);
}

TEST_F(UpdateSessionTest, ABootloaderOnAnotherPortIsPassedOver) {
  // Another station's bootloader is the newest on the list while the target
  // restarts: it is not the target's bootloader.
  useFile("fw.bin", rawImage(40));
  DeviceModelConfig config = device();
  config.reenumerateDelayMs = 3000;
  size_t id = sim_->addDevice(config, "", "1-1.2");
  size_t other = sim_->addDevice(device(kModeBootloader, "OTHER"), "", "1-1.3");
  std::string err = run();
  EXPECT_TRUE(updateSucceeded()) << err;
  EXPECT_TRUE(startsWith(err, "Deveice Firmware Version: 1.2\n")) << err;
  EXPECT_EQ(sim_->model(id).storedImage(), rawImage(40));
  EXPECT_EQ(commands(other), std::vector<uint8_t>{CmdReadVersion});
}

TEST_F(UpdateSessionTest, WithoutPortsTheNewestBootloaderIsTaken) {
  sim_->setReportsPorts(false);
  useFile("fw.bin", rawImage(40));
  DeviceModelConfig config = device();
  config.reenumerateDelayMs = 3000;
  size_t id = sim_->addDevice(config);
  size_t other = sim_->addDevice(device(kModeBootloader, "OTHER"));
  std::string err = run();
  EXPECT_TRUE(endsWith(err, "Bootloader Connected\nError: Incorrect bootloader model\n")) << err;
  expectFailedExit("wrong-bootloader-model");
  EXPECT_EQ(commands(id).back(), CmdEnterBootloader);
  EXPECT_EQ(commands(other).back(), CmdReadVersion);
}

TEST_F(UpdateSessionTest, PortAndSerialChooseAmongDevicesOfTheFilesModel) {
  useFile("fw.bin", rawImage(20));
  size_t a = sim_->addDevice(device(), "", "1-1", "A1");
  size_t b = sim_->addDevice(device(), "", "1-2", "B2");
  context_.selectPort = "1-2";
  std::string err = run();
  EXPECT_TRUE(updateSucceeded()) << err;
  EXPECT_TRUE(commands(a).empty());  // not even asked its version
  EXPECT_EQ(sim_->model(b).storedImage(), rawImage(20));
}

TEST_F(UpdateSessionTest, SerialThatNoDeviceHasFindsNone) {
  useFile("fw.bin", rawImage(20));
  size_t a = sim_->addDevice(device(), "", "1-1", "A1");
  context_.selectSerial = "ZZ";
  EXPECT_EQ(run(), "No specified VID/PID HID device detected!");
  expectFailedExit("no-device");
  EXPECT_TRUE(commands(a).empty());
}

TEST_F(UpdateSessionTest, BootloaderVersionRequestIsRepeatedWhileUnanswered) {
  useFile("fw.bin", rawImage(40));
  DeviceModelConfig config = device();
  config.faults.push_back(lost(CmdReadVersion, 2, 3));
  size_t id = sim_->addDevice(config);
  EXPECT_NE(run().find("Update completed\n"), std::string::npos);
  EXPECT_EQ(framesOf(id, CmdReadVersion).size(), 5u);
}

TEST_F(UpdateSessionTest, BootloaderThatNeverComesBackTimesOutAfter11Seconds) {
  useFile("fw.bin", rawImage(40));
  DeviceModelConfig config = device();
  config.neverReturnAfterSwitch = true;
  size_t id = sim_->addDevice(config);
  std::string err = run();
  // "Waiting" on every pass of 500 ms.
  std::string waits;
  for (int i = 0; i < 22; ++i) waits += "Waiting bootloader...\n";
  EXPECT_EQ(err, "Deveice Firmware Version: 1.2\nSwithing to bootloader...\n" + waits +
                     "Error: Switch to bootloader timeout\n");
  expectFailedExit("switch-timeout");
  EXPECT_EQ(commands(id).back(), CmdEnterBootloader);
}

TEST_F(UpdateSessionTest, BootloaderFirstSeenAt11SecondsStillTimesOut) {
  // A slow enumeration (700 ms) puts the clock reading after the look.
  usePlatform(std::make_unique<SlowEnumeration>());
  useFile("fw.bin", rawImage(40));
  DeviceModelConfig config = device();
  config.reenumerateDelayMs = 11000;
  sim_->addDevice(config);
  std::string err = run();
  EXPECT_TRUE(endsWith(err, "Bootloader Connected\nError: Switch to bootloader timeout\n")) << err;
  expectFailedExit("switch-timeout");
}

TEST_F(UpdateSessionTest, BootloaderFirstSeenAt10SecondsIsTaken) {
  usePlatform(std::make_unique<SlowEnumeration>());
  useFile("fw.bin", rawImage(40));
  DeviceModelConfig config = device();
  config.reenumerateDelayMs = 10000;
  sim_->addDevice(config);
  std::string err = run();
  EXPECT_TRUE(updateSucceeded()) << err;
}

TEST_F(UpdateSessionTest, NewApplicationDevicesDoNotEndTheBootloaderWait) {
  useFile("fw.bin", rawImage(40));
  DeviceModelConfig config = device();
  config.reenumerateDelayMs = 2000;
  size_t id = sim_->addDevice(config);
  size_t app = sim_->addDevice(device(kModeApplication, "OTHER"));
  std::string err = run();
  EXPECT_TRUE(updateSucceeded()) << err;
  EXPECT_EQ(commands(app), std::vector<uint8_t>{CmdReadVersion});
  EXPECT_EQ(sim_->model(id).storedImage(), rawImage(40));
}

TEST_F(UpdateSessionTest, BootloaderWithoutPermissionIsNamed) {
  usePlatform(std::make_unique<BootloaderDenied>());
  useFile("fw.bin", rawImage(40));
  sim_->addDevice(device());
  std::string err = run();
  EXPECT_NE(err.find("Error: Switch to bootloader timeout\nPermission denied opening sim/0/1: "),
            std::string::npos)
      << err;
  expectFailedExit("switch-timeout");
}

TEST_F(UpdateSessionTest, CtrlCBeforeTheSwitchSaysNothingWasWritten) {
  usePlatform(std::make_unique<CtrlC>(stop_, false));
  useFile("fw.bin", rawImage(40));
  size_t id = sim_->addDevice(device());
  EXPECT_EQ(run(), "Interrupted: nothing was written; the device still runs its firmware\n");
  expectFailedExit("interrupted");
  EXPECT_EQ(stop_.reason(), SIGINT);
  EXPECT_TRUE(commands(id).empty());
  EXPECT_FALSE(stop_.devicesWaitInBootloader());
}

TEST_F(UpdateSessionTest, CtrlCAfterTheSwitchSaysTheDeviceWaitsInItsBootloader) {
  usePlatform(std::make_unique<CtrlC>(stop_, true));
  useFile("fw.bin", rawImage(40));
  DeviceModelConfig config = device();
  config.reenumerateDelayMs = 2000;
  size_t id = sim_->addDevice(config);
  std::string err = run();
  EXPECT_EQ(err.substr(err.find("Waiting")),
            "Waiting bootloader...\nInterrupted: the device waits in its bootloader; run the same "
            "command with -bv and -bp (its bootloader ids) to finish the update\n");
  expectFailedExit("interrupted");
  EXPECT_EQ(commands(id).back(), CmdEnterBootloader);
  // A second signal would say so too.
  EXPECT_TRUE(stop_.devicesWaitInBootloader());
  // The time on the platform's clock: one pause between two polls.
  EXPECT_GE(lastUpdateResult().seconds, 0.5);
}

TEST_F(UpdateSessionTest, CtrlCAfterTheSwitchWithTheBootloaderIdsGivenAsksForTheSameCommand) {
  usePlatform(std::make_unique<CtrlC>(stop_, true));
  useFile("fw.bin", rawImage(40));
  DeviceModelConfig config = device();
  config.reenumerateDelayMs = 2000;
  sim_->addDevice(config);
  bootIdsGiven_ = true;
  std::string err = run();
  EXPECT_EQ(err.substr(err.find("Waiting")),
            "Waiting bootloader...\nInterrupted: the device waits in its bootloader; run the same "
            "command again to finish the update\n");
  expectFailedExit("interrupted");
}

TEST_F(UpdateSessionTest, FinishIsTheLastFrameAndNeedsNoAnswer) {
  useFile("fw.bin", rawImage(40));
  DeviceModelConfig config = device();
  config.faults.push_back(lost(CmdFinish, 1));
  size_t id = sim_->addDevice(config);
  std::string err = run();
  EXPECT_TRUE(endsWith(err, "Verifying...\nUpdate completed\n")) << err;
  EXPECT_TRUE(updateSucceeded());
  EXPECT_EQ(commands(id), kFullUpdate);
}

// Two sessions in one process, each on a thread and a device of its own over
// one platform: each device receives exactly the frames a single update of it
// alone receives, byte for byte, and stores the image.
TEST_F(UpdateSessionTest, TwoSessionsAtOnceSendEachDeviceWhatASingleUpdateSends) {
  const Bytes bytes = rawImage(4000);
  useFile("fw.bin", bytes);
  const size_t alone = sim_->addDevice(device(), "", "1-9");
  ASSERT_TRUE(endsWith(run(), "Update completed\n"));
  const std::vector<Report> single = sim_->frameLog(alone);

  usePlatform(std::make_unique<SimulatedPlatform>());
  const size_t ids[2] = {sim_->addDevice(device(), "", "1-1"), sim_->addDevice(device(), "", "1-2")};
  FirmwareImage image;
  FirmwareInfo info;
  CaptureListener loading;
  ASSERT_TRUE(loadUpdateImage(context_.firmwarePath, TextEncoding::kUtf8, image, info, loading,
                              nullptr));
  CaptureListener listeners[2];
  UpdateResult results[2];
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back([&, i] {
      UpdateSetup setup;
      setup.image = &image;
      setup.info = &info;
      setup.filter = scannerFilter(i == 0 ? "1-1" : "1-2");
      setup.platform = sim_.get();
      setup.listener = &listeners[i];
      SessionCursor cursor;
      results[i] = runUpdateSession(setup, cursor);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(results[i].updated()) << listeners[i].err;
    EXPECT_EQ(results[i].port, i == 0 ? "1-1" : "1-2");
    EXPECT_TRUE(sim_->frameLog(ids[i]) == single) << "device " << i;
    EXPECT_EQ(sim_->model(ids[i]).storedImage(), bytes);
    // The progress a station or a library follows: after every chunk.
    ASSERT_EQ(listeners[i].offsets.size(), 250u);
    EXPECT_EQ(listeners[i].offsets.back(), 4000u);
  }
}

}  // namespace
