#include "image/container.h"

#include <gtest/gtest.h>

#include "app/message.h"
#include "tests/image_builders.h"

using namespace testimage;

namespace {

struct Parsed {
  bool ok = false;
  ContainerHeader header;
  Bytes image;
  bool imageSet = false;
  std::string out;
};

Parsed parse(Bytes file) {
  Parsed p;
  uint8_t* image = nullptr;
  uint32_t length = 0xFFFFFFFF;
  MessageSink sink;
  p.ok = parseContainerBuffer(file.data(), static_cast<uint32_t>(file.size()), p.header, image,
                              length);
  p.out = sink.out;
  p.imageSet = image != nullptr;
  if (image) p.image.assign(image, image + length);
  delete[] image;
  return p;
}

const Bytes kPayload = {0x12, 0x34, 0x56, 0x78, 0x9A};

}  // namespace

TEST(ContainerTest, ValidVersion1And2) {
  // Tags 5, 3, 4 of 4 bytes and tag 6: a 28-byte header over the first 22 bytes.
  uint32_t crc = crc32NoFinalXor(kPayload.data(), 5);
  Bytes v1 = containerFile(1, {{5, le32(5)}, {3, le32(crc)}, {4, le32(0x01020304)}}, kPayload);
  ASSERT_EQ(v1.size(), 28u + 5u);
  Parsed p = parse(v1);
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.header.formatVersion, 1);
  EXPECT_EQ(p.header.headerLength, 28u);
  EXPECT_EQ(p.header.payloadCrc, crc);
  EXPECT_EQ(p.header.checkWord, 0x01020304u);
  EXPECT_EQ(p.header.protocolMask, 0xAA);
  EXPECT_EQ(p.image, kPayload);  // stored form, as sent
  EXPECT_EQ(p.out, "");

  // Version 2: mask, words, an unknown tag 0x10 covered by the header CRC; a
  // 12-byte model with a NUL as sixth byte gives five characters.
  Bytes model = textValue("TVR-1");
  model.resize(12, 'z');
  model[5] = 0;
  Bytes v2 = simpleContainer(
      2, "", "2.0", kPayload, 7,
      {{1, model}, {3, {0x5A, 0x99}}, {4, {0x34, 0x12, 0x78, 0x56, 0}}, {0x10, {1, 2, 3}}});
  p = parse(v2);
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.header.formatVersion, 2);
  EXPECT_EQ(p.header.model, "TVR-1");
  EXPECT_EQ(p.header.version, "2.0");
  EXPECT_EQ(p.header.protocolMask, 0x5A);
  EXPECT_EQ(p.header.word1, 0x1234);
  EXPECT_EQ(p.header.word2, 0x5678);
  EXPECT_EQ(p.out, "");  // the parser prints nothing; its caller traces it

  // Without tag 3 the mask stays 0xAA.
  p = parse(simpleContainer(2, "M", "V", {}, 0));
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.header.protocolMask, 0xAA);
  EXPECT_TRUE(p.imageSet);
  EXPECT_TRUE(p.image.empty());
  EXPECT_EQ(p.out, "");
}

TEST(ContainerTest, InvalidFiles) {
  Bytes good = simpleContainer(1, "M", "V", kPayload, 0);
  ASSERT_TRUE(parse(good).ok);
  Bytes longer = good;
  longer.push_back(0);
  EXPECT_FALSE(parse(longer).ok);
  Bytes shorter(good.begin(), good.end() - 1);
  EXPECT_FALSE(parse(shorter).ok);

  // Payload CRC of the plain payload instead of the stored one. The image is
  // already handed over when the payload CRC fails.
  Bytes plainCrc = simpleContainer(1, "M", "V", kPayload, 0, {});
  Bytes wrong = containerFile(
      1, {{3, le32(crc32NoFinalXor(nibbleSwapped(kPayload).data(), 5))}, {5, le32(5)}}, kPayload);
  Parsed p = parse(wrong);
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(p.image, kPayload);

  // Magic, version and tag-list failures.
  Bytes v3 = good;
  v3[3] = 0x30;  // plain version 3
  EXPECT_FALSE(parse(v3).ok);
  EXPECT_FALSE(parse(containerFile(1, {{0, {}}}, {})).ok);                     // tag byte 0 first
  EXPECT_FALSE(parse(containerFile(1, {{1, textValue("M")}}, {}, false)).ok);  // no header CRC
  EXPECT_FALSE(parse(containerFile(1, {{7, {}}}, {})).ok);  // tag above 6 ends the list
  EXPECT_FALSE(parse(containerFile(1, {{5, le32(0)}}, {}, true, 1)).ok);  // header CRC wrong
  EXPECT_FALSE(parse(nibbleSwapped(textValue("qfw"))).ok);
  EXPECT_FALSE(parse(nibbleSwapped(textValue("qfw\x01"))).ok);
  EXPECT_FALSE(parse({}).ok);
  Bytes badMagic = good;
  badMagic[0] = 0;
  p = parse(badMagic);
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(p.header.formatVersion, 0);

  // The version is known, for the caller's trace, even when a version-2 file
  // then proves invalid; the parser itself prints nothing.
  p = parse(containerFile(2, {{0xA3, le32(1)}}, {}));
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(p.header.formatVersion, 2);
  // Four bytes are enough to know the version; the missing tag list fails after.
  p = parse(nibbleSwapped(textValue("qfw\x02")));
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(p.header.formatVersion, 2);
  p = parse(nibbleSwapped(textValue("qfw")));
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(p.header.formatVersion, 0);
  EXPECT_EQ(p.out, "");
}

TEST(ContainerTest, RecordsMustStayInsideTheFile) {
  // 4-byte tags with another length, or tag 4 of version 2 below 4 bytes.
  EXPECT_FALSE(parse(containerFile(1, {{5, {0, 0, 0}}}, {})).ok);
  EXPECT_FALSE(parse(containerFile(1, {{3, {0, 0, 0, 0, 0}}}, {})).ok);
  EXPECT_FALSE(parse(containerFile(2, {{0xA3, {0, 0}}}, {})).ok);
  EXPECT_FALSE(parse(containerFile(2, {{4, {1, 2, 3}}}, {})).ok);
  EXPECT_FALSE(parse(containerFile(2, {{3, {}}}, {})).ok);
  // Tag 4 of version 1 is the check word, not the words record.
  EXPECT_TRUE(parse(simpleContainer(1, "", "", {}, 0, {{4, le32(9)}})).ok);

  // A length byte running past the end; a header-CRC tag cut short.
  Bytes plain = {'q', 'f', 'w', 1, 1, 200, 'A'};
  EXPECT_FALSE(parse(nibbleSwapped(plain)).ok);
  plain = {'q', 'f', 'w', 1, 6, 4, 0, 0};
  EXPECT_FALSE(parse(nibbleSwapped(plain)).ok);
  plain = {'q', 'f', 'w', 1, 6};
  EXPECT_FALSE(parse(nibbleSwapped(plain)).ok);

  // A payload length that would wrap a 32-bit sum with the header length.
  Bytes wrap = containerFile(1, {{5, le32(0xFFFFFFF0u)}, {3, le32(0xFFFFFFFF)}}, {});
  wrap.resize(wrap.size() + 0x10, 0);
  EXPECT_FALSE(parse(wrap).ok);
}

TEST(ContainerTest, FileWrapper) {
  TempDir dir;
  writeFile(dir / "a.qfw", simpleContainer(1, "TVR-100", "1.2", kPayload, 0xCAFE));
  ContainerHeader header;
  uint8_t* image = nullptr;
  uint32_t length = 0;
  EXPECT_TRUE(parseContainer((dir / "a.qfw").string(), header, image, length));
  EXPECT_EQ(Bytes(image, image + length), kPayload);
  EXPECT_EQ(header.model, "TVR-100");
  delete[] image;
  image = nullptr;
  EXPECT_FALSE(parseContainer((dir / "missing.qfw").string(), header, image, length));
  EXPECT_FALSE(parseContainer(dir.path().string(), header, image, length));
  EXPECT_EQ(image, nullptr);
}
