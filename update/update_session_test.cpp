#include "update/update_session.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/message.h"
#include "app/update_context.h"
#include "image/crc32.h"
#include "image/test_image_builders.h"
#include "sim/sim_test_support.h"
#include "sim/simulated_platform.h"
#include "tests/reset_context.h"
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

class UpdateSessionTest : public testing::Test {
 protected:
  void SetUp() override {
    resetUpdateContext();
    // Several cases run in one test: each starts with no device plugged in.
    setHidPlatform(nullptr);
    sim_ = std::make_unique<SimulatedPlatform>();
    setHidPlatform(sim_.get());
    configureScannerIds();
    dir_ = std::filesystem::temp_directory_path() /
           ("tavrin_session_" + std::to_string(::getpid()) + "_" +
            testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    setHidPlatform(nullptr);
    resetUpdateContext();
    std::filesystem::remove_all(dir_);
  }

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
    gContext.firmwarePath = path;
  }

  std::string run() {
    MessageSink sink;
    runUpdateSession();
    return sink.err;
  }

  // Command codes of the frames a device received, in order.
  std::vector<uint8_t> commands(size_t id) {
    std::vector<uint8_t> codes;
    for (const Report& frame : sim_->frameLog(id)) codes.push_back(frame[6]);
    return codes;
  }

  void expectFailedExit() {
    EXPECT_FALSE(updateSucceeded());
    EXPECT_EQ(gContext.sessionState, StateIdle);
    EXPECT_EQ(gContext.imageData, nullptr);
  }

  std::unique_ptr<SimulatedPlatform> sim_;
  std::filesystem::path dir_;
};

const std::vector<uint8_t> kFullUpdate = {
    CmdReadVersion, CmdGetInfo,   CmdEnterBootloader, CmdReadVersion, CmdGetInfo, CmdSetProtocol,
    CmdStartUpdate, CmdWriteData, CmdWriteData,       CmdWriteData,   CmdVerify,  CmdFinish};

TEST_F(UpdateSessionTest, HappyPathFromApplicationFirmware) {
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
  EXPECT_EQ(gContext.sessionState, StateFinish);
  EXPECT_NE(gContext.imageData, nullptr);  // kept after success

  EXPECT_EQ(commands(id), kFullUpdate);
  const std::vector<Report>& frames = sim_->frameLog(id);
  // SetProtocol carries 0 for a raw image; chunks of 16, 16 and 8 bytes.
  EXPECT_EQ(frames[5][7], 0);
  EXPECT_EQ(frames[7][3], 19);
  EXPECT_EQ(frames[8][3], 19);
  EXPECT_EQ(frames[9][3], 11);
  EXPECT_EQ(frames[7][2], 0x56);  // data frames carry flag 1
  EXPECT_EQ(frames[6][2], 0x56);  // so does StartUpdate
  EXPECT_EQ(frames[10][2], 0x55);
  // Verify: both words are the CRC of the image, little-endian.
  const uint32_t crc = crc32NoFinalXor(image.data(), 40);
  const uint8_t verify[] = {CmdVerify,          uint8_t(crc),       uint8_t(crc >> 8),
                            uint8_t(crc >> 16), uint8_t(crc >> 24), uint8_t(crc),
                            uint8_t(crc >> 8),  uint8_t(crc >> 16), uint8_t(crc >> 24)};
  EXPECT_EQ(0, std::memcmp(&frames[10][6], verify, sizeof verify));
  EXPECT_EQ(sim_->model(id).storedImage(), image);
  EXPECT_TRUE(sim_->model(id).finished());
  // Every frame carries the file's protocol mask (0xAA by default) and a fresh sequence number.
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i][1], 0xAA);
    EXPECT_EQ(frames[i][5], i + 1);
  }
}

TEST_F(UpdateSessionTest, VerifyCarriesTheImageCrcTwice) {
  // The three bytes abc carry no info block: the file names no model, and a
  // device that reports none is the one.
  useFile("abc.bin", {0x61, 0x62, 0x63});
  size_t id = sim_->addDevice(device(kModeApplication, ""));
  std::string err = run();
  EXPECT_TRUE(updateSucceeded()) << err;
  const Report& verify = sim_->frameLog(id)[8];
  // Length and complement, sequence (the ninth frame), then the payload.
  const uint8_t expected[] = {0x0B, 0xF4, 9, 0x65, 0x3D, 0xBE, 0xDB, 0xCA, 0x3D, 0xBE, 0xDB, 0xCA};
  EXPECT_EQ(0, std::memcmp(&verify[3], expected, sizeof expected));
}

TEST_F(UpdateSessionTest, ProgressLines) {
  useFile("one.bin", rawImage(16, "AB"));
  sim_->addDevice(device(kModeApplication, "AB"));
  std::string err = run();
  EXPECT_NE(err.find("Writing firmware data...\nProcess: %100\nVerifying...\n"), std::string::npos);

  SetUp();
  useFile("big.bin", rawImage(3200));
  size_t id = sim_->addDevice(device());
  err = run();
  // The first chunk is 0 %, which is never printed; the second is 1 %.
  std::string expected = "Writing firmware data...\n";
  for (int p = 1; p < 100; ++p) expected += "Process: %" + std::to_string(p) + "\r";
  expected += "Process: %100\nVerifying...\n";
  EXPECT_NE(err.find(expected), std::string::npos) << err;
  EXPECT_EQ(sim_->model(id).storedImage(), rawImage(3200));
}

TEST_F(UpdateSessionTest, ContainerNegotiatesItsProtocolSelection) {
  const Bytes payload = testimage::nibbleSwapped(rawImage(40));
  useFile("fw.qfw",
          testimage::simpleContainer(2, kModel, "2.0", payload, 0x12345678, {{3, {0x5A}}}));
  DeviceModelConfig config = device();
  config.capabilityMask = 0x03;
  size_t id = sim_->addDevice(config);
  std::string err = run();
  EXPECT_NE(err.find("Update completed\n"), std::string::npos) << err;
  const std::vector<Report>& frames = sim_->frameLog(id);
  ASSERT_EQ(commands(id), kFullUpdate);
  EXPECT_EQ(frames[5][7], 1);     // SetProtocol carries 1
  EXPECT_EQ(frames[0][1], 0x5A);  // the header's protocol mask goes into every frame
  EXPECT_EQ(frames[11][1], 0x5A);
  EXPECT_EQ(sim_->model(id).storedImage(), payload);  // sent in stored form
  EXPECT_EQ(frames[10][11], 0x78);                    // check word passed unchanged
  EXPECT_EQ(frames[10][14], 0x12);

  // A bootloader without bit 0 cannot take the container.
  SetUp();
  useFile("fw.qfw", testimage::simpleContainer(1, kModel, "2.0", payload, 0));
  config.capabilityMask = 0x02;
  id = sim_->addDevice(config);
  err = run();
  EXPECT_EQ(err.substr(err.size() - 33), "Error: Protocol version mismatch\n");
  expectFailedExit();
  EXPECT_EQ(commands(id).back(), CmdGetInfo);

  // A raw image sends 0 whatever the mask.
  SetUp();
  useFile("fw.bin", rawImage(40));
  config.capabilityMask = 0xFF;
  id = sim_->addDevice(config);
  run();
  EXPECT_EQ(sim_->frameLog(id)[5][7], 0);
}

TEST_F(UpdateSessionTest, DeviceAlreadyInItsBootloader) {
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

  // Version 3 is unknown; so is a version that no well-formed answer gave.
  for (int variant = 0; variant < 2; ++variant) {
    SetUp();
    useFile("fw.bin", rawImage(20));
    DeviceModelConfig config = device(kModeBootloader);
    if (variant == 0)
      config.protocolVersion = 3;
    else
      config.faults.push_back({FaultKind::kWrongMarker, CmdGetInfo, 1, 1, 0});
    id = sim_->addDevice(config);
    std::string err = run();
    EXPECT_EQ(err, "Deveice Firmware Version: 1.2\nError: Unknown protocol version\n");
    expectFailedExit();
    EXPECT_EQ(commands(id).back(), CmdGetInfo);
  }
}

TEST_F(UpdateSessionTest, BootloaderReachedBySwitchMustSpeakVersion1) {
  useFile("fw.bin", rawImage(20));
  DeviceModelConfig config = device();
  config.protocolVersion = 2;
  size_t id = sim_->addDevice(config);
  std::string err = run();
  EXPECT_EQ(err.substr(err.find("Get bootloader")),
            "Get bootloader protocol version...\nError: Unknown protocol version\n");
  expectFailedExit();
  EXPECT_EQ(commands(id).size(), 5u);
}

TEST_F(UpdateSessionTest, DeviceSelection) {
  // No device at all.
  useFile("fw.bin", rawImage(20));
  EXPECT_EQ(run(), "No specified VID/PID HID device detected!");
  expectFailedExit();

  // Devices that answer, none of the file's model.
  SetUp();
  useFile("fw.bin", rawImage(20));
  size_t other = sim_->addDevice(device(kModeApplication, "OTHER"));
  EXPECT_EQ(run(), "Deveice Firmware Version: 1.2\nDevice not connected\n");
  expectFailedExit();
  EXPECT_EQ(commands(other), std::vector<uint8_t>{CmdReadVersion});

  // Two of the file's model: nothing is sent after the version requests.
  SetUp();
  useFile("fw.bin", rawImage(20));
  size_t a = sim_->addDevice(device());
  size_t b = sim_->addDevice(device());
  EXPECT_EQ(run(),
            "Deveice Firmware Version: 1.2\nDeveice Firmware Version: 1.2\n"
            "Multiple HID devices detected, please disconnect other HID devices\n");
  expectFailedExit();
  EXPECT_EQ(commands(a), std::vector<uint8_t>{CmdReadVersion});
  EXPECT_EQ(commands(b), std::vector<uint8_t>{CmdReadVersion});

  // Two devices, one of the file's model, one that does not answer at all.
  SetUp();
  useFile("fw.bin", rawImage(20));
  other = sim_->addDevice(device(kModeApplication, "OTHER"));
  DeviceModelConfig mute = device();
  mute.faults.push_back({FaultKind::kNoAnswer, CmdReadVersion, 1, 0, 0});
  size_t silent = sim_->addDevice(mute);
  size_t target = sim_->addDevice(device());
  std::string err = run();
  EXPECT_EQ(err.substr(0, 60), "Deveice Firmware Version: 1.2\nDeveice Firmware Version: 1.2\n");
  EXPECT_TRUE(updateSucceeded()) << err;
  EXPECT_EQ(commands(other), std::vector<uint8_t>{CmdReadVersion});
  EXPECT_EQ(commands(silent), std::vector<uint8_t>{CmdReadVersion});
  EXPECT_EQ(sim_->model(target).storedImage(), rawImage(20));
}

TEST_F(UpdateSessionTest, AnswerWithoutMarkerIsNoModel) {
  // One device answers its version request without the marker: it must not
  // inherit another device's model and make the selection ambiguous.
  useFile("fw.bin", rawImage(20));
  size_t target = sim_->addDevice(device(kModeBootloader));
  DeviceModelConfig odd = device();
  odd.faults.push_back({FaultKind::kWrongMarker, CmdReadVersion, 1, 0, 0});
  size_t other = sim_->addDevice(odd);
  std::string err = run();
  EXPECT_EQ(err.substr(0, 57), "Deveice Firmware Version: 1.2\nDeveice Firmware Version: \n");
  EXPECT_TRUE(updateSucceeded()) << err;
  EXPECT_EQ(commands(other), std::vector<uint8_t>{CmdReadVersion});
  EXPECT_EQ(sim_->model(target).storedImage(), rawImage(20));

  // Nor does a bootloader that answers without the marker pass the model check.
  SetUp();
  useFile("fw.bin", rawImage(20));
  odd = device();
  odd.faults.push_back({FaultKind::kWrongMarker, CmdReadVersion, 2, 1, 0});
  sim_->addDevice(odd);
  err = run();
  EXPECT_EQ(err.substr(err.size() - 55),
            "Bootloader Connected\nError: Incorrect bootloader model\n");
  expectFailedExit();
}

TEST_F(UpdateSessionTest, UnusableFiles) {
  gContext.firmwarePath = (dir_ / "missing.bin").string();
  sim_->addDevice(device());
  EXPECT_EQ(run(), "Error: The input file is not a valid firmware file!");
  expectFailedExit();

  // An empty image is refused before any device is touched.
  SetUp();
  useFile("empty.bin", {});
  size_t id = sim_->addDevice(device());
  EXPECT_EQ(run(), "Error: The firmware image is empty\n");
  expectFailedExit();
  EXPECT_TRUE(commands(id).empty());
}

// One row of the failure table: a device set-up, the tail of the messages, and
// the last command the device saw (nothing is sent after a failure).
struct FailureCase {
  const char* name;
  std::function<void(DeviceModelConfig&)> setUp;
  std::string tail;
  uint8_t lastCommand;
};

TEST_F(UpdateSessionTest, EveryFailureRowTakesTheFailureExit) {
  const std::vector<FailureCase> cases = {
      {"query mode unanswered",
       [](DeviceModelConfig& c) {
         c.faults.push_back({FaultKind::kNoAnswer, CmdGetInfo, 1, 1, 0});
       },
       "Deveice Firmware Version: 1.2\n", CmdGetInfo},
      {"bootloader info unanswered",
       [](DeviceModelConfig& c) {
         c.faults.push_back({FaultKind::kNoAnswer, CmdGetInfo, 2, 1, 0});
       },
       "Get bootloader protocol version...\n", CmdGetInfo},
      {"bootloader version requests unanswered",
       [](DeviceModelConfig& c) {
         c.faults.push_back({FaultKind::kNoAnswer, CmdReadVersion, 2, 0, 0});
       },
       "Bootloader Connected\nError: Bootloader not responding\n", CmdReadVersion},
      {"set protocol refused", [](DeviceModelConfig& c) { c.setProtocolResult = 1; },
       "Error: set procotol failed\n", CmdSetProtocol},
      {"set protocol wrong echo",
       [](DeviceModelConfig& c) {
         c.faults.push_back({FaultKind::kWrongEcho, CmdSetProtocol, 1, 1, 0});
       },
       "Error: set procotol failed\n", CmdSetProtocol},
      {"set protocol unanswered",
       [](DeviceModelConfig& c) {
         c.faults.push_back({FaultKind::kNoAnswer, CmdSetProtocol, 1, 1, 0});
       },
       "Error: set procotol failed\n", CmdSetProtocol},
      {"start update unanswered",
       [](DeviceModelConfig& c) {
         c.faults.push_back({FaultKind::kNoAnswer, CmdStartUpdate, 1, 1, 0});
       },
       "Start updating\n", CmdStartUpdate},
      {"chunk unanswered six times",
       [](DeviceModelConfig& c) {
         c.faults.push_back({FaultKind::kNoAnswer, CmdWriteData, 2, 6, 0});
       },
       "Writing firmware data...\nProcess: %40\r", CmdWriteData},
      {"verify fails", [](DeviceModelConfig& c) { c.verify = VerifyBehaviour::kAlwaysFail; },
       "Verifying...\nVerify failed\n", CmdVerify},
      {"verify wrong marker",
       [](DeviceModelConfig& c) {
         c.faults.push_back({FaultKind::kWrongMarker, CmdVerify, 1, 1, 0});
       },
       "Verifying...\nVerify failed\n", CmdVerify},
      {"verify unanswered",
       [](DeviceModelConfig& c) {
         c.faults.push_back({FaultKind::kNoAnswer, CmdVerify, 1, 1, 0});
       },
       "Verifying...\nVerify failed\n", CmdVerify},
  };
  for (const FailureCase& fc : cases) {
    SCOPED_TRACE(fc.name);
    SetUp();
    useFile("fw.bin", rawImage(40));
    DeviceModelConfig config = device();
    fc.setUp(config);
    size_t id = sim_->addDevice(config);
    std::string err = run();
    ASSERT_GE(err.size(), fc.tail.size());
    EXPECT_EQ(err.substr(err.size() - fc.tail.size()), fc.tail);
    expectFailedExit();
    EXPECT_EQ(commands(id).back(), fc.lastCommand);
  }
}

TEST_F(UpdateSessionTest, ChunkRetries) {
  // Five unanswered sends of the second chunk, then an answer: the update goes on.
  useFile("fw.bin", rawImage(40));
  DeviceModelConfig config = device();
  config.faults.push_back({FaultKind::kNoAnswer, CmdWriteData, 2, 5, 0});
  size_t id = sim_->addDevice(config);
  std::string err = run();
  EXPECT_TRUE(updateSucceeded()) << err;
  EXPECT_EQ(sim_->model(id).commandCount(CmdWriteData), 3u + 5u);
  EXPECT_EQ(gContext.retryCount, 1);  // the last chunk went through at once

  // An answer that is not well-formed is not a reason to resend.
  SetUp();
  useFile("fw.bin", rawImage(40));
  config = device();
  config.faults.push_back({FaultKind::kGarbage, CmdWriteData, 1, 0, 0});
  id = sim_->addDevice(config);
  run();
  EXPECT_EQ(sim_->model(id).commandCount(CmdWriteData), 3u);
}

TEST_F(UpdateSessionTest, WrongBootloaderModel) {
  // Another device's bootloader is the newest on the list while the target restarts.
  useFile("fw.bin", rawImage(40));
  DeviceModelConfig config = device();
  config.reenumerateDelayMs = 3000;
  size_t id = sim_->addDevice(config);
  size_t other = sim_->addDevice(device(kModeBootloader, "OTHER"));
  std::string err = run();
  EXPECT_EQ(err.substr(err.size() - 55),
            "Bootloader Connected\nError: Incorrect bootloader model\n");
  expectFailedExit();
  EXPECT_EQ(commands(id).back(), CmdEnterBootloader);
  EXPECT_EQ(commands(other).back(), CmdReadVersion);
}

TEST_F(UpdateSessionTest, BootloaderWait) {
  // A bootloader that answers its version request late on the first try is asked again.
  useFile("fw.bin", rawImage(40));
  DeviceModelConfig config = device();
  config.faults.push_back({FaultKind::kNoAnswer, CmdReadVersion, 2, 3, 0});
  size_t id = sim_->addDevice(config);
  EXPECT_NE(run().find("Update completed\n"), std::string::npos);
  EXPECT_EQ(sim_->model(id).commandCount(CmdReadVersion), 5u);

  // It never comes back: "Waiting" on every pass, then the time-out at 11 s.
  SetUp();
  useFile("fw.bin", rawImage(40));
  config = device();
  config.neverReturnAfterSwitch = true;
  id = sim_->addDevice(config);
  std::string err = run();
  std::string waits;
  for (int i = 0; i < 22; ++i) waits += "Waiting bootloader...\n";
  EXPECT_EQ(err, "Deveice Firmware Version: 1.2\nSwithing to bootloader...\n" + waits +
                     "Error: Switch to bootloader timeout\n");
  expectFailedExit();
  EXPECT_EQ(commands(id).back(), CmdEnterBootloader);

  // First seen on the pass whose elapsed reading is 11 s: connected, then the
  // time-out. A slow enumeration (700 ms) puts the reading after the look.
  for (uint32_t delay : {11000u, 10000u}) {
    SetUp();
    sim_ = std::make_unique<SlowEnumeration>();
    setHidPlatform(sim_.get());
    useFile("fw.bin", rawImage(40));
    config = device();
    config.reenumerateDelayMs = delay;
    id = sim_->addDevice(config);
    err = run();
    if (delay == 11000) {
      EXPECT_EQ(err.substr(err.size() - 57),
                "Bootloader Connected\nError: Switch to bootloader timeout\n");
      expectFailedExit();
    } else {
      EXPECT_TRUE(updateSucceeded()) << err;
    }
  }

  // Newly listed application-mode devices do not end the wait.
  SetUp();
  useFile("fw.bin", rawImage(40));
  config = device();
  config.reenumerateDelayMs = 2000;
  id = sim_->addDevice(config);
  size_t app = sim_->addDevice(device(kModeApplication, "OTHER"));
  err = run();
  EXPECT_TRUE(updateSucceeded()) << err;
  EXPECT_EQ(commands(app), std::vector<uint8_t>{CmdReadVersion});
  EXPECT_EQ(sim_->model(id).storedImage(), rawImage(40));
}

// Denies every open of a re-enumerated device (its bootloader).
class BootloaderDenied : public SimulatedPlatform {
 public:
  std::unique_ptr<HidConnection> open(const std::string& path, HidOpenPurpose purpose,
                                      HidOpenError* error) override {
    if (path.size() > 2 && path.substr(path.size() - 2) != "/0") {
      *error = kHidOpenDenied;
      return nullptr;
    }
    return SimulatedPlatform::open(path, purpose, error);
  }
};

TEST_F(UpdateSessionTest, BootloaderWithoutPermissionIsNamed) {
  sim_ = std::make_unique<BootloaderDenied>();
  setHidPlatform(sim_.get());
  clearHidPermissionProblems();
  useFile("fw.bin", rawImage(40));
  sim_->addDevice(device());
  std::string err = run();
  EXPECT_NE(err.find("Error: Switch to bootloader timeout\nPermission denied opening sim/0/1: "),
            std::string::npos)
      << err;
  expectFailedExit();
  clearHidPermissionProblems();
}

TEST_F(UpdateSessionTest, FinishIsTheLastFrame) {
  useFile("fw.bin", rawImage(40));
  DeviceModelConfig config = device();
  config.faults.push_back({FaultKind::kNoAnswer, CmdFinish, 1, 1, 0});
  size_t id = sim_->addDevice(config);
  std::string err = run();
  EXPECT_EQ(err.substr(err.size() - 30), "Verifying...\nUpdate completed\n");
  EXPECT_TRUE(updateSucceeded());  // an unanswered finish is ignored
  EXPECT_EQ(commands(id), kFullUpdate);
}

}  // namespace
