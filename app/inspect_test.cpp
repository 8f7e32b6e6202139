#include "app/inspect.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>

#include "common/sha256.h"
#include "app/message.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "app/command_line.h"
#include "app/run_report.h"
#include "tests/capture_listener.h"
#include "tests/image_builders.h"

using namespace testimage;

namespace {

struct InspectRun {
  int status = -1;
  std::string out;
  std::string err;
};

InspectRun inspect(const std::string& path, const char* imageOut = nullptr, bool verbose = false,
                   const std::vector<PublicKey>& keys = {}) {
  InspectRun run;
  MessageSink sink;
  RunReport report;
  run.status = runInspect(path, imageOut, report, TextEncoding::kUtf8, verbose, keys);
  run.err = sink.err;
  run.out = sink.out;
  return run;
}

Bytes code(size_t size, uint8_t seed) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 37 + (i >> 3));
  return bytes;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes infoRecords(const std::string& model, const std::string& version, Bytes tail) {
  Bytes records = {1, static_cast<uint8_t>(model.size() + 2)};
  records.insert(records.end(), model.begin(), model.end());
  records.insert(records.end(), {0, 2, static_cast<uint8_t>(version.size() + 2)});
  records.insert(records.end(), version.begin(), version.end());
  records.push_back(0);
  records.insert(records.end(), tail.begin(), tail.end());
  return records;
}

// The example firmware files kept in examples/, as they are generated.
std::map<std::string, std::string> exampleFiles() {
  std::map<std::string, std::string> files;
  auto put = [&](const std::string& name, const Bytes& bytes) {
    files[name] = std::string(bytes.begin(), bytes.end());
  };
  put("demo.bin", cat({code(64, 1),
                       infoBlock(infoRecords("TVR-100", "1.0.3",
                                             {3, 1, 0x5A, 4, 5, 0x34, 0x12, 0x78, 0x56, 0})),
                       code(32, 9)}));
  // A flash target: unwritten bytes become 0xFF; addresses start at 0x08000000.
  Bytes hexImage = sectionTable(0x2000);
  hexImage.resize(0x40, 0);
  hexImage = cat({hexImage, infoBlock(infoRecords("TVR-100", "2.1.0", {0})), code(150, 3)});
  files["demo.hex"] = hexLinear(0x0800) + hexOfImage(hexImage);
  put("demo_v1.qfw",
      simpleContainer(1, "TVR-100", "1.0.0", nibbleSwapped(code(48, 5)), 0x00C0FFEE));
  put("demo_v2.qfw", simpleContainer(2, "TVR-100", "2.0.0", nibbleSwapped(code(40, 7)), 0x12345678,
                                     {{3, {0x3C}}, {4, {1, 0, 2, 0}}}));
  put("escape.bin", cat({infoBlock(infoRecords("A\\B\x01\xC8", "tab\there", {0})), code(7, 2)}));
  put("empty.bin", {});
  return files;
}

const std::string kExamples = std::string(TAVRIN_SOURCE_DIR) + "/examples/";

}  // namespace

TEST(InspectTest, ReportsAndWritesImage) {
  TempDir dir;
  Bytes payload = {0xAB, 0xCD};
  writeFile(dir / "fw.qfw", simpleContainer(2, "M\xFF", "", payload, 0xFEEDF00D, {{3, {0x05}}}));
  InspectRun run = inspect((dir / "fw.qfw").string(), (dir / "out.bin").string().c_str());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  char crc[40];
  std::snprintf(crc, sizeof crc, "0x%08X", crc32NoFinalXor(payload.data(), 2));
  // The digest is the file's as given, not the image's.
  const std::string file = readFile(dir / "fw.qfw");
  const std::string digest =
      sha256Hex(reinterpret_cast<const uint8_t*>(file.data()), file.size());
  EXPECT_EQ(run.out, std::string("format: container-v2\nlength: 2\nimage-crc: ") + crc +
                         "\ncheck-word: 0xFEEDF00D\nprotocol-mask: 0x05\nprotocol-selection: 1\n"
                         "model: M\\xff\nversion: \nsha256: " + digest + "\nsignature: none\n");
  EXPECT_EQ(readFile(dir / "out.bin"), "\xAB\xCD");

  // A raw file after a container: no selection is left from the earlier load.
  // Empty, it is reported, and refused as an update would refuse it.
  writeFile(dir / "empty", std::string());
  run = inspect((dir / "empty").string(), (dir / "empty.out").string().c_str());
  EXPECT_EQ(run.out,
            "format: raw\nlength: 0\nimage-crc: 0xFFFFFFFF\ncheck-word: 0xFFFFFFFF\n"
            "protocol-mask: 0xAA\nprotocol-selection: 0\nmodel: \nversion: \nsha256: "
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855\nsignature: none\n");
  EXPECT_EQ(run.err, "refused by an update: the image is empty\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(std::filesystem::exists(dir / "empty.out"));

  run = inspect((dir / "empty").string(), (dir / "no/such/dir/x.bin").string().c_str());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("Error: cannot write the image to "), std::string::npos);

  // A raw file of several MiB is hashed while its CRC is computed: both over
  // all of it, in no multiple of the hash's pieces.
  const Bytes big = code((3 << 20) + 5, 9);
  writeFile(dir / "big.bin", big);
  run = inspect((dir / "big.bin").string());
  EXPECT_EQ(run.status, 0);
  std::snprintf(crc, sizeof crc, "0x%08X",
                crc32NoFinalXor(big.data(), static_cast<uint32_t>(big.size())));
  EXPECT_NE(run.out.find("\nlength: 3145733\nimage-crc: " + std::string(crc) + "\n"),
            std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\nsha256: " + sha256Hex(big.data(), big.size()) + "\n"),
            std::string::npos);
}

// The model and version of a file are its own bytes: the JSON report stays
// valid UTF-8 whatever they hold (an overlong NUL, a surrogate).
TEST(InspectTest, JsonReportIsUtf8WhateverTheFileHolds) {
  TempDir dir;
  writeFile(dir / "fw.qfw", simpleContainer(2, "M\xE0\x80\x80", "\xED\xA0\x80\xC3\xA9", {0xAB},
                                            0xFEEDF00D, {{3, {0x05}}}));
  MessageSink sink;
  RunReport report;
  CommandLine line;
  line.json = true;
  ASSERT_TRUE(report.start(line, 0, nullptr));
  EXPECT_EQ(runInspect((dir / "fw.qfw").string(), nullptr, report, TextEncoding::kUtf8), 0);
  EXPECT_NE(sink.out.find("\"model\":\"M\\u00e0\\u0080\\u0080\",\"version\":"
                          "\"\\u00ed\\u00a0\\u0080\xC3\xA9\",\"sha256\":"),
            std::string::npos)
      << sink.out;
}

TEST(InspectTest, ShowsTheSignatureAndRefusesWhatAnUpdateWould) {
  TempDir dir;
  const std::string keys = std::string(TAVRIN_SOURCE_DIR) + "/tests/keys/";
  std::string image = readFile(kExamples + "demo.bin");
  const std::string path = (dir / "demo.bin").string();
  writeFile(path, image);
  PublicKey test;
  ASSERT_TRUE(readPublicKeyFile(keys + "test.pub", &test));
  const std::string head = readFile(kExamples + "demo.bin.inspect");
  const std::string signedBy =
      "key-id: 96CAD30F516FDC48\ntrusted-comment: tavrin test fixture: demo.bin\n";

  // Unsigned: fine until a key is trusted.
  InspectRun run = inspect(path);
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(endsWith(run.out, "signature: none\n")) << run.out;
  run = inspect(path, nullptr, false, {test});
  EXPECT_EQ(run.out, head);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Error: " + path + " is not signed (no " + path +
                         ".minisig), and only images signed by a trusted key are accepted\n");

  writeFile(path + ".minisig", readFile(keys + "demo.bin.minisig"));
  run = inspect(path);
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(endsWith(run.out, "signature: untrusted-key\n" + signedBy)) << run.out;
  run = inspect(path, nullptr, false, {test});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.substr(head.size() - 16), "signature: valid\n" + signedBy);

  image[7] = static_cast<char>(image[7] ^ 0x80);
  writeFile(path, image);
  run = inspect(path, nullptr, false, {test});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(endsWith(run.out, "signature: invalid\n" + signedBy)) << run.out;
  EXPECT_NE(run.err.find(" does not verify"), std::string::npos) << run.err;
}

TEST(InspectTest, RefusesToWriteTheImageOverTheFirmwareFile) {
  TempDir dir;
  const std::string hex = hexOfImage(sectionTable(0x2C0));
  writeFile(dir / "fw.hex", hex);
  std::filesystem::create_symlink(dir / "fw.hex", dir / "link.hex");
  for (const char* name : {"fw.hex", "link.hex"}) {
    const std::string out = (dir / name).string();
    InspectRun run = inspect((dir / "fw.hex").string(), out.c_str());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "Error: --image-out " + out + " is the firmware file itself; name another file\n");
    EXPECT_EQ(readFile(dir / "fw.hex"), hex);
  }
}

TEST(InspectTest, InvalidFiles) {
  TempDir dir;
  Bytes damaged = simpleContainer(2, "M", "V", {1}, 0);
  damaged.push_back(0);
  writeFile(dir / "bad.qfw", damaged);
  InspectRun run = inspect((dir / "bad.qfw").string());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");  // no trace word either
  EXPECT_EQ(run.err, "Error: The input file is not a valid firmware file!\n");

  writeFile(dir / "bad.hex", hexData(0, {1}));
  run = inspect((dir / "bad.hex").string());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "Error: Get section information failed!Error: The input file is not a valid firmware "
            "file!\n");
  run = inspect((dir / "missing").string());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Error: The input file is not a valid firmware file!\n");
  // --verbose says why the file could not be read.
  run = inspect((dir / "missing").string(), nullptr, true);
  EXPECT_EQ(run.err, "Error: The input file is not a valid firmware file!\nError: cannot read " +
                         (dir / "missing").string() + ": No such file or directory\n");
}

TEST(InspectTest, NotesAnExtensionThatDiffersOnlyInCase) {
  TempDir dir;
  const std::string hex = hexOfImage(sectionTable(0x2C0));
  for (const char* name : {"FW.HEX", "fw.Hex", "fw.QFW"}) {
    writeFile(dir / name, hex);
    const std::string path = (dir / name).string();
    InspectRun run = inspect(path);
    EXPECT_EQ(run.status, 0) << name;
    EXPECT_EQ(run.out.substr(0, 12), "format: raw\n") << name;
    const bool container = name[3] == 'Q';
    EXPECT_EQ(run.err, "Note: " + path +
                           " is read as a raw image: the extension is case-sensitive, and only a "
                           "name ending in " +
                           (container ? "qfw is read as a firmware container\n"
                                      : "hex is read as Intel HEX\n"))
        << name;
  }
  // Names that are what they say, or nothing like it, get no note.
  writeFile(dir / "fw.hex", hex);
  EXPECT_EQ(inspect((dir / "fw.hex").string()).err, "");
  writeFile(dir / "fw.HEY", hex);
  EXPECT_EQ(inspect((dir / "fw.HEY").string()).err, "");
}

// Keeps examples/ in step with the generator above. With
// TAVRIN_REGENERATE_EXAMPLES=1 it rewrites the files and their expected output.
TEST(InspectExamplesTest, MatchGoldenOutput) {
  bool regenerate = std::getenv("TAVRIN_REGENERATE_EXAMPLES") != nullptr;
  for (const auto& [name, bytes] : exampleFiles()) {
    std::string path = kExamples + name;
    // The empty image is reported, and refused as an update refuses it.
    const bool refused = bytes.empty();
    if (regenerate) {
      writeFile(path, bytes);
      InspectRun run = inspect(path);
      ASSERT_EQ(run.status, refused ? 1 : 0) << name << run.err;
      writeFile(path + ".inspect", run.out);
    }
    EXPECT_EQ(readFile(path), bytes) << name << " differs from its generator";
    InspectRun run = inspect(path);
    EXPECT_EQ(run.status, refused ? 1 : 0) << name;
    EXPECT_EQ(run.out, readFile(path + ".inspect")) << name;
    EXPECT_EQ(run.err, refused ? "refused by an update: the image is empty\n" : "") << name;
  }
}

#ifndef _WIN32
// The same comparison through the program's command line.
TEST(InspectExamplesTest, BinaryMatchesGoldenOutput) {
  int checked = 0;
  for (const auto& entry : exampleFiles()) {
    std::string path = kExamples + entry.first;
    std::string command = std::string(TAVRIN_BINARY) + " --inspect '" + path + "' 2>/dev/null";
    std::FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char block[4096];
    size_t got;
    while ((got = std::fread(block, 1, sizeof block, pipe)) > 0) out.append(block, got);
    int status = pclose(pipe);
    ASSERT_TRUE(WIFEXITED(status)) << entry.first;
    EXPECT_EQ(WEXITSTATUS(status), entry.second.empty() ? 1 : 0) << entry.first;
    EXPECT_EQ(out, readFile(path + ".inspect")) << entry.first;
    ++checked;
  }
  EXPECT_GT(checked, 0);

  // A report that cannot be written is a failure, not a success.
  if (!std::filesystem::exists("/dev/full")) return;
  std::string command =
      std::string(TAVRIN_BINARY) + " --inspect '" + kExamples + "demo.bin' 2>&1 >/dev/full";
  std::FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string err;
  char block[512];
  size_t got;
  while ((got = std::fread(block, 1, sizeof block, pipe)) > 0) err.append(block, got);
  int status = pclose(pipe);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(err, "Error: cannot write the report to standard output\n");

  // Nor is a listing.
  command = std::string(TAVRIN_BINARY) + " --list --simulate 2>&1 >/dev/full";
  pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  err.clear();
  while ((got = std::fread(block, 1, sizeof block, pipe)) > 0) err.append(block, got);
  status = pclose(pipe);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(err, "Error: cannot write the listing to standard output\n");
}
#endif
