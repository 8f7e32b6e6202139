#include "image/intel_hex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "tests/image_builders.h"

using namespace testimage;

namespace {

struct Pass {
  bool ok = false;
  uint32_t length = 0xDEADBEEF;
  Bytes image;
};

Pass readText(const std::string& text, uint8_t fill = 0x00) {
  Pass pass;
  uint8_t* image = nullptr;
  pass.ok = readIntelHex(text.data(), text.size(), fill, image, pass.length);
  if (image != nullptr) pass.image.assign(image, image + kHexImageSize);
  delete[] image;
  return pass;
}

Bytes bytesAt(const Pass& pass, size_t offset, size_t count) {
  return Bytes(pass.image.begin() + static_cast<long>(offset),
               pass.image.begin() + static_cast<long>(offset + count));
}

Bytes bytesOf(const Bytes& image, size_t offset, size_t count) {
  return Bytes(image.begin() + static_cast<long>(offset),
               image.begin() + static_cast<long>(offset + count));
}

const Bytes kSixteen = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

}  // namespace

TEST(IntelHexTest, DataRecordsAndLength) {
  Pass p = readText(hexData(0, kSixteen) + hexEnd());
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.length, 16u);
  EXPECT_EQ(bytesAt(p, 0, 16), kSixteen);
  EXPECT_EQ(p.image[16], 0x00);
  EXPECT_EQ(p.image[kHexImageSize - 1], 0x00);

  // The length follows the last position-setting line, not the highest address.
  p = readText(hexData(0x100, {1, 2}) + hexData(0x10, {3, 4, 5}), 0xFF);
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.length, 0x13u);
  EXPECT_EQ(p.image[0x100], 1);
  EXPECT_EQ(p.image[0x12], 5);
  EXPECT_EQ(p.image[0], 0xFF);

  // CR LF endings, blank lines and a last line without a line end.
  std::string crlf = "\r\n" + hexRecord(0, 4, {9, 8}) + "\r\n\r\n\n" + hexRecord(0, 6, {7});
  p = readText(crlf);
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.length, 7u);
  EXPECT_EQ(bytesAt(p, 4, 3), (Bytes{9, 8, 7}));

  // Records after the end-of-file record still apply and overwrite.
  p = readText(hexData(0, {1, 1}) + hexEnd() + hexData(1, {2}));
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(bytesAt(p, 0, 2), (Bytes{1, 2}));
  EXPECT_EQ(p.length, 2u);

  // Lower-case digits, white space after the record, and lines that do not
  // begin with a colon.
  std::string lower = hexRecord(0, 0, {0xAB, 0xCD});
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  p = readText("# comment\n\n  " + hexRecord(0, 8, {1}) + "\n" + lower + " \t\r\n");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(bytesAt(p, 0, 2), (Bytes{0xAB, 0xCD}));
  EXPECT_EQ(p.image[8], 0);  // the indented line is not a record
}

TEST(IntelHexTest, AddressingModes) {
  // Linear upper 0x0800 maps to offset 0 through the 18-bit mask.
  Pass p = readText(hexLinear(0x0800) + hexData(0x10, {0x55}));
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.image[0x10], 0x55);
  EXPECT_EQ(p.length, 0x11u);

  // 0x0002 lands at 128 KiB: dropped. 0x0004 wraps to 0 and overwrites.
  p = readText(hexData(0, {1}) + hexLinear(0x0002) + hexData(0, {2}) + hexLinear(0x0004) +
               hexData(0, {3}) + hexLinear(0x0002) + hexData(0, {9}, 1));
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.image[0], 3);
  EXPECT_EQ(p.length, kHexImageSize);  // the dropped record's start
  // A dropped record whose start lies beyond the buffer cannot give the length.
  EXPECT_FALSE(readText(hexLinear(0x0002) + hexData(0x10, {9})).ok);
}

TEST(IntelHexTest, SegmentModeAndModeLock) {
  Pass p = readText(hexSegment(0x1000) + hexData(0x0020, {7, 8}));
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(bytesAt(p, 0x10020, 2), (Bytes{7, 8}));
  EXPECT_EQ(p.length, 0x10022u);

  // The first extended-address record fixes the mode; the other kind is
  // ignored even with a wrong checksum.
  p = readText(hexSegment(0x1000) + hexLinear(0x0001, 5) + hexData(0, {1}));
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.image[0x10000], 1);
  p = readText(hexLinear(0x0001) + hexSegment(0x0010, 5) + hexData(0, {1}));
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.image[0x10000], 1);
  EXPECT_EQ(p.image[0x100], 0);

  // A segment base of 0xF000 places data beyond the buffer: dropped, and as the
  // last line it would report a length above 128 KiB, which fails.
  p = readText(hexSegment(0xF000) + hexData(0, {1}) + hexSegment(0) + hexData(0, {2}));
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.length, 1u);
  EXPECT_FALSE(readText(hexSegment(0xF000) + hexData(0, {1})).ok);
  EXPECT_FALSE(readText(hexLinear(0x0003)).ok);  // position 0x30000
  p = readText(hexLinear(0x0001));
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.length, 0x10000u);
}

TEST(IntelHexTest, ChecksumsAndIgnoredRecords) {
  EXPECT_FALSE(readText(hexData(0, {1, 2}, 1)).ok);
  EXPECT_FALSE(readText(hexLinear(0, 1)).ok);
  EXPECT_FALSE(readText(hexSegment(0, 0x80)).ok);
  // Ignored records are not checksum-tested.
  Pass p = readText(hexRecord(0, 0, {}, 3) + "\n" + hexLinear(1) + hexData(0xFFF8, kSixteen, 1) +
                    hexRecord(1, 0, {}, 7) + "\n" + hexRecord(5, 0, {1, 2, 3, 4}, 1) + "\n" +
                    hexLinear(0) + hexData(0, {4}));
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.image[0x1FFF8], 0);
  EXPECT_EQ(p.length, 1u);
  // A record ending exactly at the end of the buffer is kept.
  p = readText(hexData(0xFFF8, {}) + hexLinear(1) + hexData(0xFFF8, {1, 2, 3, 4, 5, 6, 7, 8}));
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.image[kHexImageSize - 1], 8);
  EXPECT_EQ(p.length, kHexImageSize);
}

TEST(IntelHexTest, MalformedLinesFail) {
  std::string good = hexRecord(0, 0, {1, 2});  // ":02000000010..."
  EXPECT_TRUE(readText(good).ok);
  EXPECT_FALSE(readText(":1").ok);                // count only half there
  EXPECT_FALSE(readText(":1G000000").ok);         // count then a non-digit
  EXPECT_FALSE(readText(":020000").ok);           // type missing
  EXPECT_FALSE(readText(":02000000").ok);         // no data text at all
  EXPECT_FALSE(readText(":02000000 0102FB").ok);  // data text must follow directly
  EXPECT_FALSE(readText(":020000000102").ok);     // fewer pairs than count + checksum
  EXPECT_FALSE(readText(":0200000001G2FB").ok);   // non-hex pair
  EXPECT_FALSE(readText(":02000004010").ok);      // short extended address
  EXPECT_FALSE(readText(":02000004X1000F9").ok);

  EXPECT_FALSE(readText(":\n").ok);  // a colon alone
  EXPECT_FALSE(readText(":Z1\n").ok);

  // A line that begins with a colon is a whole record or the pass fails: one
  // with a blank after the colon would drop its record without a word.
  std::string record = hexRecord(0, 0x10, {1, 2});
  EXPECT_FALSE(readText(": " + record.substr(1) + "\n").ok);
  EXPECT_FALSE(readText(record + " trailing words\n").ok);
  EXPECT_FALSE(readText(record + "00\n").ok);  // more pairs than the count
  EXPECT_TRUE(readText(record + " \t\r\n").ok);
  // So is every record that is ignored or dropped.
  EXPECT_TRUE(readText(":00000005FB\n").ok);
  EXPECT_FALSE(readText(":00000005FB00\n").ok);
  EXPECT_FALSE(readText(":00000005" + std::string(100000, 'A')).ok);
  EXPECT_FALSE(readText(":0100000101\n").ok);  // end-of-file record with a pair missing
  // Carriage returns alone do not end lines: such a file is one line, and
  // not a record.
  EXPECT_FALSE(readText(hexRecord(0, 0, {1}) + "\r" + hexRecord(0, 1, {2}) + "\r").ok);

  // A failed pass leaves its buffer in place and the length untouched.
  uint8_t* image = nullptr;
  uint32_t length = 77;
  EXPECT_FALSE(readIntelHex(":1", 2, 0xFF, image, length));
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image[kHexImageSize - 1], 0xFF);
  EXPECT_EQ(length, 77u);
  delete[] image;
}

TEST(IntelHexTest, SectionTableAndPasses) {
  auto load = [](const std::string& text, uint32_t* length = nullptr, Bytes* out = nullptr) {
    uint8_t* image = nullptr;
    uint32_t len = 0;
    int result = loadHexImageFromText(text.data(), text.size(), image, len);
    if (length) *length = len;
    if (out && image) out->assign(image, image + kHexImageSize);
    delete[] image;
    return result;
  };
  std::string body = hexData(0x40, {0x11, 0x22});
  Bytes image;
  EXPECT_EQ(load(hexOfImage(sectionTable(0x2C0)) + body, nullptr, &image), kHexLoaded);
  EXPECT_EQ(image[0x42], 0x00);
  EXPECT_EQ(image[0x41], 0x22);
  uint32_t length = 0;
  EXPECT_EQ(load(hexOfImage(sectionTable(0x2000)) + body, &length, &image), kHexLoaded);
  EXPECT_EQ(image[0x42], 0xFF);
  EXPECT_EQ(image[0x40], 0x11);
  EXPECT_EQ(length, 0x42u);
  // Bytes a record stores as 0x00 or 0xFF keep their value under either fill.
  std::string explicitBytes =
      hexData(0x80, {0x00, 0xFF}) + hexLinear(1) + hexData(0xFFFF, {0x00}) + hexLinear(0) + body;
  EXPECT_EQ(load(hexOfImage(sectionTable(0x3000)) + explicitBytes, &length, &image), kHexLoaded);
  EXPECT_EQ(bytesOf(image, 0x7F, 4), (Bytes{0xFF, 0x00, 0xFF, 0xFF}));
  EXPECT_EQ(image[0x1FFFF], 0x00);
  EXPECT_EQ(image[0x1FFFE], 0xFF);
  EXPECT_EQ(image[7], 0x00);  // the end entry of the table
  // A run of stored zeros across whole and partial bytes of the written map.
  std::string zeros = hexData(0x123, Bytes(29, 0x00));
  EXPECT_EQ(load(hexOfImage(sectionTable(0x2000)) + zeros, &length, &image), kHexLoaded);
  Bytes expected(31, 0x00);
  expected.front() = expected.back() = 0xFF;
  EXPECT_EQ(bytesOf(image, 0x122, 31), expected);
  EXPECT_EQ(load(hexOfImage(sectionTable(0x2C0)) + explicitBytes, &length, &image), kHexLoaded);
  EXPECT_EQ(bytesOf(image, 0x7F, 4), (Bytes{0x00, 0x00, 0xFF, 0x00}));
  EXPECT_EQ(load(hexOfImage(sectionTable(0x3C0))), kHexLoaded);
  EXPECT_EQ(load(hexOfImage(sectionTable(0x3000))), kHexLoaded);
  EXPECT_EQ(load(hexOfImage(sectionTable(0x4000))), kHexLoaded);
  EXPECT_EQ(load(hexOfImage(sectionTable(0x1000))), kHexUnknownNvmType);
  EXPECT_EQ(load(body), kHexNoSectionInfo);  // offset 0 is 0: the table is empty
  EXPECT_EQ(load(hexData(0, {1}, 1)), kHexReadFailed);
  EXPECT_EQ(load(""), kHexNoSectionInfo);

  // Other kinds are stepped over by 3 + n; entries must start below 256.
  Bytes table = {1, 2, 0, 0xAA, 0xBB};
  Bytes nvm = sectionTable(0x3C0);
  table.insert(table.end(), nvm.begin(), nvm.end());
  EXPECT_EQ(load(hexOfImage(table)), kHexLoaded);
  Bytes far(256 + 8, 0);
  far[0] = 1;
  far[1] = 253;  // next entry at 256
  std::copy(nvm.begin(), nvm.end(), far.begin() + 256);
  EXPECT_EQ(load(hexOfImage(far)), kHexNoSectionInfo);
  far[1] = 252;  // next entry at 255
  std::copy(nvm.begin(), nvm.end(), far.begin() + 255);
  EXPECT_EQ(load(hexOfImage(far)), kHexLoaded);
}

TEST(IntelHexTest, FileReadInBlocks) {
  TempDir dir;
  // Lines cross the 64 KiB block boundaries of the file reader; CR LF ends.
  Bytes image = sectionTable(0x2C0);
  image.resize(40000);
  for (size_t i = 8; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
  std::string text = hexOfImage(image);
  std::string crlf;
  for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  writeFile(dir / "a.hex", crlf);
  uint8_t* data = nullptr;
  uint32_t length = 0;
  ASSERT_EQ(loadHexImage((dir / "a.hex").string(), data, length), kHexLoaded);
  EXPECT_EQ(length, 40000u);
  EXPECT_EQ(Bytes(data, data + 40000), image);

  // A long tail of white space behind a record spans blocks and changes
  // nothing; one word at its end fails the record.
  const std::string tail = " " + std::string(200000, ' ');
  writeFile(dir / "b.hex", hexOfImage(sectionTable(0x2C0)) + hexRecord(0, 0x20, {5}) + tail + "\n" +
                               hexData(0x30, {6}));
  ASSERT_EQ(loadHexImage((dir / "b.hex").string(), data, length), kHexLoaded);
  EXPECT_EQ(data[0x20], 5);
  EXPECT_EQ(length, 0x31u);
  writeFile(dir / "c.hex", hexOfImage(sectionTable(0x2C0)) + hexRecord(0, 0x20, {5}) + tail +
                               "x\n" + hexData(0x30, {6}));
  EXPECT_EQ(loadHexImage((dir / "c.hex").string(), data, length), kHexReadFailed);

  // A file that does not open touches nothing.
  delete[] data;
  data = nullptr;
  length = 5;
  EXPECT_EQ(loadHexImage((dir / "missing.hex").string(), data, length), kHexReadFailed);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(length, 5u);

#ifndef _WIN32
  // Only regular files are read: a device never ends like a file (/dev/zero
  // would be read for ever) and opening a FIFO waits for a writer.
  std::filesystem::create_symlink("/dev/null", dir / "null.hex");
  EXPECT_EQ(loadHexImage((dir / "null.hex").string(), data, length), kHexReadFailed);
  EXPECT_EQ(data, nullptr);
  std::string fifo = (dir / "pipe.hex").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Should the reader open the FIFO after all, this writer lets its open
  // return, so a fault shows as a wrong result rather than a hung test.
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    while (!stop) {
      int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) {
        close(fd);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  EXPECT_EQ(loadHexImage(fifo, data, length), kHexReadFailed);
  stop = true;
  writer.join();
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(length, 5u);
#endif
}
