// The update's opt-in checks: the version policy decided right after the
// device is selected, and the signature checked before any device is touched.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/sha256.h"
#include "app/update_context.h"
#include "sim/simulated_platform.h"
#include "tests/capture_listener.h"
#include "tests/image_builders.h"
#include "tests/sim_support.h"
#include "update/commands.h"
#include "update/update_session.h"

namespace {

using testimage::Bytes;

// A raw image of 40 bytes whose info block names model and, unless empty, version.
Bytes versionedImage(const std::string& version, const std::string& model = "QS-100") {
  // Each text record: tag, the text's length + 2, the text and its NUL.
  std::string block = "ABabQXFW";
  block += '\x01' + std::string(1, static_cast<char>(model.size() + 2)) + model + '\0';
  if (!version.empty())
    block += '\x02' + std::string(1, static_cast<char>(version.size() + 2)) + version + '\0';
  block += '\0';  // the end of the records
  block.resize(40, '\x5A');
  return Bytes(block.begin(), block.end());
}

class SessionPolicyTest : public testing::Test {
 protected:
  void SetUp() override { context_.firmwarePath = (dir_ / "fw.bin").string(); }

  size_t plug(const std::string& version, DeviceMode mode = kModeApplication) {
    DeviceModelConfig config = scannerConfig("QS-100", version, mode);
    config.protocolVersion = mode == kModeBootloader ? 2 : 1;
    config.reenumerateDelayMs = 0;
    return sim_.addDevice(config);
  }

  std::string run() {
    CaptureListener listener;
    UpdateSetup setup;
    setup.filter = scannerFilter();
    setup.platform = &sim_;
    setup.listener = &listener;
    setup.policy = policy_;
    FirmwareInfo info;
    result_ = runFileUpdate(context_.firmwarePath, TextEncoding::kUtf8, context_, info, context_,
                            setup, nullptr, &check_);
    EXPECT_EQ(listener.result.outcome, result_.outcome);
    return listener.err;
  }

  std::vector<uint8_t> commands(size_t id) {
    std::vector<uint8_t> codes;
    for (const Report& frame : sim_.frameLog(id)) codes.push_back(frame[kOffsetPayload]);
    return codes;
  }

  testimage::TempDir dir_;
  UpdateContext context_;
  SimulatedPlatform sim_;
  VersionPolicy policy_;
  ImageCheck check_;
  UpdateResult result_;
};

const std::vector<uint8_t> kIdentification = {CmdReadVersion};
const std::vector<uint8_t> kFullUpdate = {
    CmdReadVersion, CmdGetInfo,   CmdEnterBootloader, CmdReadVersion, CmdGetInfo, CmdSetProtocol,
    CmdStartUpdate, CmdWriteData, CmdWriteData,       CmdWriteData,   CmdVerify,  CmdFinish};

TEST(SessionPolicyCases, OlderEqualAndNewerDevices) {
  struct Case {
    const char* deviceVersion;
    bool skipIfCurrent;
    bool noDowngrade;
    const char* reason;
    const char* says;  // a line the session prints, or ""
  } cases[] = {
      // Without a policy every device is updated, whatever its version.
      {"1.3", false, false, "updated", ""},
      {"1.2", false, false, "updated", ""},
      {"1.1", true, true, "updated", ""},
      {"1.2", true, false, "up-to-date",
       "Deveice Firmware Version: 1.2\n"
       "Up to date: the device runs 1.2, the file's version; not updated\n"},
      {"V1.2.0", true, true, "up-to-date", "the device runs V1.2.0, the file's version"},
      // Equal is no downgrade; a newer device is one only under --no-downgrade.
      {"1.2", false, true, "updated", ""},
      {"1.3", true, false, "updated", ""},
      {"1.3", false, true, "downgrade-refused",
       "Deveice Firmware Version: 1.3\n"
       "Error: the file's version 1.2 is older than the device's 1.3; not updated\n"},
      {"1.2-rc1", true, true, "updated", ""},
      {"nightly", false, true, "downgrade-refused",
       "Error: the file's version 1.2 cannot be compared with the device's nightly; not "
       "updated\n"},
      {"nightly", true, false, "updated", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.deviceVersion) + (c.skipIfCurrent ? " skip" : "") +
                 (c.noDowngrade ? " no-downgrade" : ""));
    testimage::TempDir dir;
    UpdateContext context;
    context.firmwarePath = (dir / "fw.bin").string();
    testimage::writeFile(context.firmwarePath, versionedImage("1.2"));
    SimulatedPlatform sim;
    DeviceModelConfig config = scannerConfig("QS-100", c.deviceVersion);
    config.reenumerateDelayMs = 0;
    const size_t id = sim.addDevice(config);
    CaptureListener listener;
    UpdateSetup setup;
    setup.filter = scannerFilter();
    setup.platform = &sim;
    setup.listener = &listener;
    setup.policy.skipIfCurrent = c.skipIfCurrent;
    setup.policy.noDowngrade = c.noDowngrade;
    FirmwareInfo info;
    const UpdateResult result =
        runFileUpdate(context.firmwarePath, TextEncoding::kUtf8, context, info, context, setup);
    EXPECT_STREQ(updateOutcomeName(result.outcome), c.reason);
    EXPECT_NE(listener.err.find(c.says), std::string::npos) << listener.err;
    std::vector<uint8_t> codes;
    for (const Report& frame : sim.frameLog(id)) codes.push_back(frame[kOffsetPayload]);
    if (result.updated()) {
      EXPECT_EQ(codes, kFullUpdate);
      EXPECT_EQ(context.sessionState, StateFinish);
      continue;
    }
    // Decided before the switch: the identification was the only frame.
    EXPECT_EQ(codes, kIdentification);
    EXPECT_EQ(context.sessionState, StateIdle);
    EXPECT_EQ(result.state, StateIdle);
    EXPECT_EQ(result.versionBefore, c.deviceVersion);
    EXPECT_EQ(result.succeeded(), result.outcome == UpdateOutcome::kUpToDate);
    EXPECT_EQ(result.message.empty(), result.outcome == UpdateOutcome::kUpToDate);
  }
}

TEST_F(SessionPolicyTest, ADeviceInItsBootloaderIsAlwaysFinished) {
  testimage::writeFile(context_.firmwarePath, versionedImage("1.0"));
  // The version a bootloader reports is its own, here newer than the file.
  const size_t id = plug("9.9", kModeBootloader);
  policy_.skipIfCurrent = policy_.noDowngrade = true;
  const std::string err = run();
  EXPECT_TRUE(result_.updated()) << err;
  EXPECT_TRUE(startsWith(err,
                         "Deveice Firmware Version: 9.9\n"
                         "The device waits in its bootloader: it has no firmware version to "
                         "compare; updating it\n"
                         "Start updating\n"))
      << err;
  EXPECT_EQ(commands(id).back(), CmdFinish);
  // Without a policy it says nothing of the kind.
  policy_ = VersionPolicy();
  EXPECT_EQ(run().find("bootloader:"), std::string::npos);
}

TEST_F(SessionPolicyTest, TheFileVersionStatedOrCarried) {
  policy_.noDowngrade = true;
  const size_t id = plug("1.2");
  // No version in the file: nothing to compare, so refused.
  testimage::writeFile(context_.firmwarePath, versionedImage(""));
  std::string err = run();
  EXPECT_STREQ(updateOutcomeName(result_.outcome), "downgrade-refused");
  EXPECT_TRUE(endsWith(err,
                       "Error: the file carries no version to compare with the device's 1.2 "
                       "(state it with --file-version); not updated\n"))
      << err;
  // Stated, it counts as the file's.
  check_.statedVersion = "1.3";
  err = run();
  EXPECT_TRUE(result_.updated()) << err;
  // A file that carries a version keeps it: a statement that differs is refused
  // before any device is touched.
  const size_t other = plug("1.0");
  sim_.removeDevice(id);
  testimage::writeFile(context_.firmwarePath, versionedImage("1.4"));
  check_.statedVersion = "1.3";
  EXPECT_EQ(run(), "Error: the file carries version 1.4, not 1.3 (--file-version)\n");
  EXPECT_STREQ(updateOutcomeName(result_.outcome), "invalid-file");
  EXPECT_TRUE(commands(other).empty());
  check_.statedVersion = "v1.4.0";  // the same version, written otherwise
  err = run();
  EXPECT_TRUE(result_.updated()) << err;
}

// Signed files: the test key pair and minisign's signatures of demo.bin
// (tests/keys).
class SignedImageTest : public SessionPolicyTest {
 protected:
  void SetUp() override {
    const std::string keys = std::string(TAVRIN_SOURCE_DIR) + "/tests/keys/";
    image_ = testimage::readFile(std::string(TAVRIN_SOURCE_DIR) + "/examples/demo.bin");
    signature_ = testimage::readFile(keys + "demo.bin.minisig");
    ASSERT_TRUE(readPublicKeyFile(keys + "test.pub", &test_));
    ASSERT_TRUE(readPublicKeyFile(keys + "other.pub", &other_));
    context_.firmwarePath = (dir_ / "fw.bin").string();
    check_.trustedKeys = {test_};
    DeviceModelConfig config = scannerConfig("TVR-100", "1.0");
    config.reenumerateDelayMs = 0;
    id_ = sim_.addDevice(config);
  }
  // Writes the image and its signature (none when empty), runs the update.
  std::string runWith(const std::string& image, const std::string& signature) {
    testimage::writeFile(context_.firmwarePath, image);
    std::remove((context_.firmwarePath + ".minisig").c_str());
    if (!signature.empty()) testimage::writeFile(context_.firmwarePath + ".minisig", signature);
    return run();
  }

  std::string image_, signature_;
  PublicKey test_, other_;
  size_t id_ = 0;
};

TEST_F(SignedImageTest, AGoodSignatureByATrustedKeyIsUpdated) {
  std::string err = runWith(image_, signature_);
  EXPECT_TRUE(result_.updated()) << err;
  EXPECT_EQ(result_.keyId, "96CAD30F516FDC48");
  EXPECT_EQ(result_.sha256,
            sha256Hex(reinterpret_cast<const uint8_t*>(image_.data()), image_.size()));
  EXPECT_EQ(sim_.model(id_).storedImage(), Bytes(image_.begin(), image_.end()));
  // minisign -l: the signature covers the file itself rather than its hash.
  const std::string legacy =
      testimage::readFile(std::string(TAVRIN_SOURCE_DIR) + "/tests/keys/demo.bin.legacy.minisig");
  err = runWith(image_, legacy);
  EXPECT_TRUE(result_.updated()) << err;
  // Several trusted keys: the one with the signature's id verifies it.
  check_.trustedKeys = {other_, test_};
  err = runWith(image_, signature_);
  EXPECT_TRUE(result_.updated()) << err;
}

TEST_F(SignedImageTest, AnythingElseIsRefusedBeforeAnyDeviceIsTouched) {
  const std::string path = context_.firmwarePath;
  std::string flippedImage = image_;
  flippedImage[100] = static_cast<char>(flippedImage[100] ^ 0x04);
  // A base64 letter of the signature proper (past the algorithm and key id).
  std::string flippedSignature = signature_;
  const size_t line2 = signature_.find('\n') + 1;
  flippedSignature[line2 + 40] = flippedSignature[line2 + 40] == 'A' ? 'B' : 'A';
  std::string flippedComment = signature_;
  flippedComment[flippedComment.find("fixture")] = 'F';
  const std::string otherSignature =
      testimage::readFile(std::string(TAVRIN_SOURCE_DIR) + "/tests/keys/demo.bin.other.minisig");
  struct Case {
    const char* name;
    std::string image;
    std::string signature;
    const char* reason;
    std::string says;
  } cases[] = {
      {"unsigned", image_, "", "unsigned-image",
       "Error: " + path + " is not signed (no " + path +
           ".minisig), and only images signed by a trusted key are accepted\n"},
      {"image bit", flippedImage, signature_, "signature-invalid",
       "Error: the signature of " + path +
           " by key 96CAD30F516FDC48 does not verify: the file or its signature was altered\n"},
      {"signature bit", image_, flippedSignature, "signature-invalid", " does not verify"},
      {"trusted comment", image_, flippedComment, "signature-invalid", " does not verify"},
      {"other key", image_, otherSignature, "untrusted-key",
       "Error: " + path + " is signed by key 5D4D8626E355C345, which is not trusted\n"},
      {"no signature", image_, "untrusted comment: x\n", "signature-invalid",
       "Error: " + path + ".minisig is not a minisign signature\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string err = runWith(c.image, c.signature);
    EXPECT_STREQ(updateOutcomeName(result_.outcome), c.reason);
    EXPECT_NE(err.find(c.says), std::string::npos) << err;
    EXPECT_EQ(result_.message, err);  // the one message
    EXPECT_TRUE(commands(id_).empty());
  }
  // Nothing trusted: the signature is not asked for, as before.
  check_.trustedKeys.clear();
  const std::string err = runWith(flippedImage, flippedSignature);
  EXPECT_TRUE(result_.updated()) << err;
  EXPECT_EQ(result_.keyId, "");
}

}  // namespace
