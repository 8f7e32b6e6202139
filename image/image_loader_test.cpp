#include "image/image_loader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/console.h"
#include "image/crc32.h"
#include "image/intel_hex.h"
#include "tests/capture_listener.h"
#include "tests/image_builders.h"
#include "update/update_session.h"

using namespace testimage;

namespace {

// Each test starts from a fresh image record and a session-like FirmwareInfo.
class ImageLoaderTest : public testing::Test {
 protected:
  void SetUp() override {
#ifndef _WIN32
    unsetenv("LC_ALL");
    unsetenv("LC_CTYPE");
    setenv("LANG", "C.UTF-8", 1);
#endif
  }
  // Loads as an update does; err is the message its caller prints.
  bool load(const std::string& name, ImageFormat* format = nullptr) {
    info = FirmwareInfo{};
    const ImageLoadResult result = loadFirmwareImage(loaded, info, (dir / name).string(), format);
    CaptureListener listener;
    printImageLoadFailure(listener, result,
                          consoleUsesGbk() ? TextEncoding::kGbk : TextEncoding::kUtf8);
    err = listener.err;
    return result == kImageLoaded;
  }
  Bytes image() const {
    return Bytes(loaded.imageData, loaded.imageData + loaded.imageLength);
  }

  FirmwareImage loaded;
  TempDir dir;
  FirmwareInfo info;
  std::string err;
};

Bytes hexImageWith(uint32_t nvmType, const Bytes& tail) {
  Bytes image = sectionTable(nvmType);
  image.insert(image.end(), tail.begin(), tail.end());
  return image;
}

Bytes with(const Bytes& block) {
  Bytes image = {0xEE, 0xEE};
  image.insert(image.end(), block.begin(), block.end());
  return image;
}

bool haveTool(const char* name) {
  std::string command = std::string("command -v ") + name + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

}  // namespace

TEST(Crc32Test, WorkedValues) {
  const uint8_t abc[] = {'a', 'b', 'c'};
  const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(crc32NoFinalXor(abc, 3), 0xCADBBE3Du);
  EXPECT_EQ(crc32NoFinalXor(digits, 9), 0x340BC6D9u);
  EXPECT_EQ(crc32NoFinalXor(nullptr, 0), 0xFFFFFFFFu);
  const uint8_t zero[] = {0};
  EXPECT_EQ(crc32NoFinalXor(zero, 1), 0x2DFD1072u);  // ~crc32("\0")
  // Lengths around the 8-byte blocks and the 16- and 64-byte folds of large
  // inputs, at every alignment, against the bit-by-bit definition.
  std::vector<uint8_t> bytes(1200);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 97 + 13 + (i >> 7));
  for (uint32_t length : {0u, 1u, 7u, 8u, 9u, 41u, 255u, 256u, 257u, 271u, 320u, 1000u, 1190u}) {
    for (uint32_t offset = 0; offset < 8; ++offset) {
      uint32_t expected = 0xFFFFFFFFu;
      for (uint32_t i = 0; i < length; ++i) {
        expected ^= bytes[offset + i];
        for (int bit = 0; bit < 8; ++bit)
          expected = (expected >> 1) ^ ((expected & 1u) ? 0xEDB88320u : 0u);
      }
      EXPECT_EQ(crc32NoFinalXor(bytes.data() + offset, length), expected)
          << length << "+" << offset;
    }
  }
}

TEST_F(ImageLoaderTest, DispatchBySuffix) {
  std::string hex = hexOfImage(sectionTable(0x2C0));
  for (const char* name : {"fw.HEX", "fw.Hex", "x", "ab", "fw.QFW"}) {
    writeFile(dir / name, hex);
    ImageFormat format = ImageFormat::kIntelHex;
    EXPECT_TRUE(load(name, &format)) << name;
    EXPECT_EQ(format, ImageFormat::kRaw) << name;
    EXPECT_EQ(loaded.imageLength, hex.size()) << name;
    EXPECT_EQ(loaded.imageCrc, crc32NoFinalXor(loaded.imageData, loaded.imageLength));
    EXPECT_EQ(loaded.checkWord, loaded.imageCrc);
  }
  writeFile(dir / "fw.hex", hex);
  ImageFormat format = ImageFormat::kRaw;
  ASSERT_TRUE(load("fw.hex", &format));
  EXPECT_EQ(format, ImageFormat::kIntelHex);
  EXPECT_EQ(loaded.imageLength, 8u);
  EXPECT_EQ(image(), sectionTable(0x2C0));
  EXPECT_EQ(err, "");

  writeFile(dir / "firmwareqfw", simpleContainer(2, "TVR", "9", {1, 2, 3}, 0x77, {{3, {0}}}));
  loaded.protocolSelection = 0;
  ASSERT_TRUE(load("firmwareqfw", &format));
  EXPECT_EQ(format, ImageFormat::kContainerV2);
  EXPECT_EQ(loaded.protocolSelection, 1);
  EXPECT_EQ(loaded.protocolMask, 0x00);  // version 2 takes its mask as it is
  EXPECT_EQ(loaded.checkWord, 0x77u);
  EXPECT_EQ(info.model, "TVR");
  EXPECT_EQ(info.protocolMask, 0xAA);  // containers do not touch FirmwareInfo's mask
  EXPECT_EQ(err, "");
}

TEST_F(ImageLoaderTest, RawImages) {
  writeFile(dir / "empty.bin", std::string());
  loaded.imageCrc = 5;
  ASSERT_TRUE(load("empty.bin"));
  EXPECT_EQ(loaded.imageLength, 0u);
  EXPECT_EQ(loaded.imageCrc, 0xFFFFFFFFu);
  EXPECT_EQ(loaded.checkWord, 0xFFFFFFFFu);
  EXPECT_EQ(loaded.protocolMask, 0xAA);
  EXPECT_EQ(info.model, "");

  // An info block with mask 0 leaves the frame mask at 0xAA.
  writeFile(dir / "m0.bin",
            with(infoBlock({1, 5, 'T', 'V', 'R', 0, 3, 1, 0, 4, 5, 1, 2, 3, 4, 0})));
  ASSERT_TRUE(load("m0.bin"));
  EXPECT_EQ(info.model, "TVR");
  EXPECT_EQ(info.protocolMask, 0);
  EXPECT_EQ(info.word2, 0x0403);
  EXPECT_EQ(loaded.protocolMask, 0xAA);
  writeFile(dir / "m5.bin", infoBlock({3, 1, 0x5C, 0}));
  ASSERT_TRUE(load("m5.bin"));
  EXPECT_EQ(loaded.protocolMask, 0x5C);

  // A view the caller holds is the raw image itself, shared, not a second
  // mapping; other formats read their file and leave the view alone. (Views
  // are Linux's.)
  auto view = std::make_shared<FileView>();
  if (view->map((dir / "m0.bin").string())) {
    ASSERT_EQ(loadFirmwareImage(loaded, info, (dir / "m0.bin").string(), view, nullptr, nullptr),
              kImageLoaded);
    EXPECT_EQ(loaded.imageData, view->data());
    EXPECT_EQ(loaded.imageView, view);
    EXPECT_EQ(info.model, "TVR");
    const Bytes asViewed = image();
    ASSERT_TRUE(load("m0.bin"));
    EXPECT_EQ(image(), asViewed);
    writeFile(dir / "a.hex", hexData(0, {1}));
    EXPECT_NE(loadFirmwareImage(loaded, info, (dir / "a.hex").string(), view, nullptr, nullptr),
              kImageLoaded);
    EXPECT_EQ(loaded.imageView, nullptr);
    EXPECT_EQ(view.use_count(), 1);
  }

  // Files that cannot be read are failed loads, not crashes.
  loaded.releaseImage();
  EXPECT_FALSE(load("missing.bin"));
  std::filesystem::create_directory(dir / "adir");
  EXPECT_FALSE(load("adir"));
  EXPECT_EQ(loaded.imageData, nullptr);
  EXPECT_EQ(err, "");
}

TEST_F(ImageLoaderTest, ContainerVersion1KeepsDefaultMask) {
  writeFile(dir / "a.qfw",
            simpleContainer(1, "TVR-100", "1.0", {9, 8}, 0x1234, {{4, le32(0x5678)}}));
  ImageFormat format = ImageFormat::kRaw;
  ASSERT_TRUE(load("a.qfw", &format));
  EXPECT_EQ(format, ImageFormat::kContainerV1);
  EXPECT_EQ(loaded.protocolMask, 0xAA);
  EXPECT_EQ(loaded.protocolSelection, 1);
  EXPECT_EQ(loaded.checkWord, 0x1234u);  // the later tag-4 record wins
  EXPECT_EQ(info.version, "1.0");
  writeFile(dir / "bad.qfw", Bytes{1, 2, 3, 4, 5, 6});
  EXPECT_FALSE(load("bad.qfw"));
  EXPECT_EQ(err, "");
}

TEST_F(ImageLoaderTest, HexMessagesAndInfoBlock) {
  writeFile(dir / "none.hex", hexData(0x10, {1}));
  EXPECT_FALSE(load("none.hex"));
  EXPECT_EQ(err, "Error: Get section information failed!");
  writeFile(dir / "nvm.hex", hexOfImage(sectionTable(0x1234)));
  EXPECT_FALSE(load("nvm.hex"));
  EXPECT_EQ(err, "Error:Unknown NVM type of hex file\xEF\xBC\x81");
  writeFile(dir / "sum.hex", hexData(0, {1}, 1));
  EXPECT_FALSE(load("sum.hex"));
  EXPECT_EQ(err, "Error\xEF\xBC\x81Reading hex file failed!");
  EXPECT_NE(loaded.imageData, nullptr);  // left for the caller to release
#ifndef _WIN32
  setenv("LANG", "zh_CN.GBK", 1);
  EXPECT_FALSE(load("sum.hex"));
  EXPECT_EQ(err, "Error\xA3\xA1Reading hex file failed!");
  EXPECT_FALSE(load("missing.hex"));
  EXPECT_EQ(err, "Error\xA3\xA1Reading hex file failed!");
  EXPECT_FALSE(load("nvm.hex"));
  EXPECT_EQ(err, "Error:Unknown NVM type of hex file\xA3\xA1");
#endif

  // The info block of a HEX image may run past the reported length.
  // Here the reported length ends just behind the first tag byte.
  std::string text =
      hexData(17, {4, 'H', 'E', 'X', 0, 0}) + hexOfImage(hexImageWith(0x2000, infoBlock({1})));
  writeFile(dir / "info.hex", text);
  ASSERT_TRUE(load("info.hex"));
  EXPECT_EQ(loaded.imageLength, 17u);
  EXPECT_EQ(info.model, "HEX");
  EXPECT_EQ(loaded.imageCrc, crc32NoFinalXor(loaded.imageData, 17));
  EXPECT_EQ(loaded.imageData[kHexImageSize - 1], 0xFF);
}

TEST_F(ImageLoaderTest, ReadsHexFromStandardTools) {
  Bytes binary = hexImageWith(0x3C0, {});
  binary.resize(100003);  // more than 64 KiB: extended linear address records
  for (size_t i = 8; i < binary.size(); ++i) binary[i] = static_cast<uint8_t>((i * 131) >> 3);
  writeFile(dir / "fw.bin", binary);
  std::string bin = (dir / "fw.bin").string();
  struct Tool {
    const char* name;
    std::string command;
  } tools[] = {
      {"objcopy", "objcopy -I binary -O ihex " + bin + " " + (dir / "a.hex").string()},
      {"objcopy", "objcopy -I binary -O ihex --change-addresses 0x08000000 " + bin + " " +
                      (dir / "b.hex").string()},
      {"srec_cat", "srec_cat " + bin + " -binary -o " + (dir / "c.hex").string() + " -intel"},
      {"srec_cat", "srec_cat " + bin + " -binary -offset 0x08000000 -o " +
                       (dir / "d.hex").string() + " -intel -line-length=76"},
  };
  const char* outputs[] = {"a.hex", "b.hex", "c.hex", "d.hex"};
  int ran = 0;
  for (int i = 0; i < 4; ++i) {
    if (!haveTool(tools[i].name)) continue;
    ASSERT_EQ(std::system(tools[i].command.c_str()), 0) << tools[i].command;
    ASSERT_TRUE(load(outputs[i])) << outputs[i] << err;
    EXPECT_EQ(image(), binary) << outputs[i];
    ++ran;
  }
  if (ran < 4) GTEST_SKIP() << "objcopy or srec_cat is not installed";
}

// A signed file is loaded from the bytes its signature was checked over: that
// load must give exactly what the load from the file gives, for every format
// and for files the readers refuse.
TEST(ImageLoaderFromBytes, GivesWhatTheLoadFromTheFileGives) {
  TempDir dir;
  std::vector<std::string> names;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(TAVRIN_SOURCE_DIR) + "/examples"))
    if (entry.is_regular_file() && entry.path().extension() != ".inspect" &&
        entry.path().extension() != ".md")
      names.push_back(entry.path().string());
  // Refused ones: a damaged container, HEX without a section table, a bad record.
  writeFile(dir / "cut.qfw", simpleContainer(2, "M", "1", {1, 2, 3}, 0));
  writeFile(dir / "cut.qfw", readFile(dir / "cut.qfw").substr(0, 12));
  writeFile(dir / "plain.hex", hexOfImage({1, 2, 3, 4}));
  writeFile(dir / "bad.hex", hexOfImage(sectionTable(0x2C0)) + ":0100000001FF\n");
  for (const char* name : {"cut.qfw", "plain.hex", "bad.hex"})
    names.push_back((dir / name).string());
  for (const std::string& path : names) {
    SCOPED_TRACE(path);
    FirmwareImage fromFile, fromBytes;
    FirmwareInfo fileInfo, bytesInfo;
    ImageFormat fileFormat = ImageFormat::kRaw, bytesFormat = ImageFormat::kRaw;
    const ImageLoadResult fileResult = loadFirmwareImage(fromFile, fileInfo, path, &fileFormat);
    const std::string bytes = readFile(path);
    const ImageLoadResult bytesResult = loadFirmwareImageFromBytes(
        fromBytes, bytesInfo, path, reinterpret_cast<const uint8_t*>(bytes.data()),
        static_cast<uint32_t>(bytes.size()), &bytesFormat);
    EXPECT_EQ(fileResult, bytesResult);
    EXPECT_EQ(fileFormat, bytesFormat);
    if (fileResult != kImageLoaded) continue;
    ASSERT_EQ(fromFile.imageLength, fromBytes.imageLength);
    EXPECT_EQ(0, std::memcmp(fromFile.imageData, fromBytes.imageData, fromFile.imageLength));
    EXPECT_EQ(fromFile.imageCrc, fromBytes.imageCrc);
    EXPECT_EQ(fromFile.checkWord, fromBytes.checkWord);
    EXPECT_EQ(fromFile.protocolMask, fromBytes.protocolMask);
    EXPECT_EQ(fromFile.protocolSelection, fromBytes.protocolSelection);
    EXPECT_EQ(fileInfo.model, bytesInfo.model);
    EXPECT_EQ(fileInfo.version, bytesInfo.version);
  }
  EXPECT_GE(names.size(), 9u);
}
