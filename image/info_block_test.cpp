#include "image/info_block.h"

#include <gtest/gtest.h>

#include "app/update_context.h"
#include "tests/image_builders.h"

using namespace testimage;

namespace {

FirmwareInfo scan(const Bytes& image, uint32_t bufferSize = 0) {
  // Exactly the bytes given are allocated, so a read past them is caught by
  // the address sanitizer.
  std::unique_ptr<uint8_t[]> copy(new uint8_t[image.size()]);
  std::copy(image.begin(), image.end(), copy.get());
  FirmwareInfo info;
  info.protocolMask = 0x11;
  auto length = static_cast<uint32_t>(image.size());
  scanInfoBlock(info, copy.get(), length, bufferSize ? bufferSize : length);
  return info;
}

Bytes with(Bytes prefix, const Bytes& tail) {
  prefix.insert(prefix.end(), tail.begin(), tail.end());
  return prefix;
}

}  // namespace

TEST(InfoBlockTest, WorkedExamples) {
  FirmwareInfo info = scan(with(
      {0xFF, 0x41}, infoBlock({0x01, 0x05, 'A',  'B',  'C',  0x00, 0x02, 0x05, '1',  '.',  '0',
                               0x00, 0x03, 0x09, 0x5A, 0x04, 0x05, 0x34, 0x12, 0x78, 0x56, 0x00})));
  EXPECT_EQ(info.model, "ABC");
  EXPECT_EQ(info.version, "1.0");
  EXPECT_EQ(info.protocolMask, 0x5A);
  EXPECT_EQ(info.word1, 0x1234);
  EXPECT_EQ(info.word2, 0x5678);

  // A value without NUL takes the next record's tag as its last character.
  info = scan(infoBlock({0x01, 0x04, 'A', 'B', 'C', 0x02, 0x04, '1', '.', '0', 0x00}));
  EXPECT_EQ(info.model, std::string("ABC\x02"));
  EXPECT_EQ(info.version, "1.0");
  EXPECT_EQ(info.protocolMask, 0xAA);

  // Tag 3 is three bytes long whatever its length byte says; value 0 is kept.
  for (uint8_t l : {1, 2, 200}) {
    info = scan(infoBlock({0x03, l, 0x00, 0x01, 0x03, 'X', 0x00, 0x00}));
    EXPECT_EQ(info.protocolMask, 0x00) << int(l);
    EXPECT_EQ(info.model, "X") << int(l);
  }
  // Unknown tags are skipped by L + 1; repeated tags: the last wins.
  info = scan(infoBlock({0x09, 0x03, 0x01, 0x02, 0x01, 0x02, 'a', 0x01, 0x02, 'b', 0x00, 0x00}));
  EXPECT_EQ(info.model, "b");
  // L = 0 on a string moves the walk by one byte only: onto its own length
  // byte, a 0 that ends the list.
  info = scan(infoBlock({0x02, 0x00, 0x01, 0x02, 'Q', 0x00, 0x00}));
  EXPECT_EQ(info.version, "");
  EXPECT_EQ(info.model, "");
}

TEST(InfoBlockTest, SearchBounds) {
  FirmwareInfo info = scan(infoBlock({}));  // magic at the very end: not found
  EXPECT_EQ(info.protocolMask, 0xAA);
  info = scan(infoBlock({0x00}));  // nine bytes: found, first tag ends it
  EXPECT_EQ(info.protocolMask, 0xAA);
  EXPECT_EQ(info.model, "");
  info = scan(Bytes{'A', 'B', 'a'});
  EXPECT_EQ(info.protocolMask, 0xAA);
  info = scan({});
  EXPECT_EQ(info.protocolMask, 0xAA);

  // Only the first block counts; partial magics before it do not.
  Bytes two = with(with({'A', 'B', 'a', 'b', 'Q', 'X', 'F'}, infoBlock({0x01, 0x02, '1', 0x00})),
                   infoBlock({0x01, 0x02, '2', 0x00}));
  EXPECT_EQ(scan(two).model, "1");

  // The walk stops where its next read would leave the buffer, keeping what it set.
  info = scan(infoBlock({0x03, 0x01, 0x44, 0x01, 0x05, 'a', 'b'}));
  EXPECT_EQ(info.protocolMask, 0x44);
  EXPECT_EQ(info.model, "");
  info = scan(infoBlock({0x01, 0x03, 'a', 'b'}));  // the byte after the value is missing
  EXPECT_EQ(info.model, "");
  info = scan(infoBlock({0x01, 0x03, 'a', 'b', 'c'}));  // fits exactly; 'c' is a tag without L
  EXPECT_EQ(info.model, "abc");
  info = scan(infoBlock({0x04, 0x05, 0x01, 0x02, 0x03}));
  EXPECT_EQ(info.word1, 0);
  info = scan(infoBlock({0x03}));
  EXPECT_EQ(info.protocolMask, 0xAA);
  info = scan(infoBlock({0x07, 0xFF, 0x03, 0x01, 0x09}));
  EXPECT_EQ(info.protocolMask, 0xAA);
  // A tag-4 record with L below 5 still reads four bytes and moves by L.
  info = scan(infoBlock({0x04, 0x02, 0x01, 0x02, 0x03, 0x04, 0x00}));
  EXPECT_EQ(info.word1, 0x0201);
  EXPECT_EQ(info.word2, 0x0403);

  // With a larger buffer the walk may read past the searched length.
  Bytes image = infoBlock({0x01, 0x03, 'h', 'i', 0x00});
  FirmwareInfo wide = scan(image, static_cast<uint32_t>(image.size()));
  EXPECT_EQ(wide.model, "hi");
  std::unique_ptr<uint8_t[]> copy(new uint8_t[image.size()]);
  std::copy(image.begin(), image.end(), copy.get());
  FirmwareInfo cut;
  scanInfoBlock(cut, copy.get(), 9, static_cast<uint32_t>(image.size()));
  EXPECT_EQ(cut.model, "hi");
  scanInfoBlock(cut, copy.get(), 9, 9);  // buffer of 9: the string no longer fits
  EXPECT_EQ(cut.model, "hi");            // untouched from before
}
