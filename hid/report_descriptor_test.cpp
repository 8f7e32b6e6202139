#include "hid/report_descriptor.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string describe(const std::vector<uint8_t>& bytes, bool* ok = nullptr) {
  std::vector<TopLevelCollection> collections;
  bool result = parseTopLevelCollections(bytes.data(), bytes.size(), &collections);
  if (ok != nullptr) *ok = result;
  std::string text;
  char item[16];
  for (const TopLevelCollection& c : collections) {
    std::snprintf(item, sizeof item, "%s%04x:%04x", text.empty() ? "" : " ", c.usagePage, c.usage);
    text += item;
  }
  return text;
}

// A bar code scanner as it enumerates: a keyboard collection for typing the
// codes and the point-of-sale collection with report ids B1 and B2.
const std::vector<uint8_t> kScannerDescriptor = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x85, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7,
    0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x06, 0x75, 0x08,
    0x26, 0xFF, 0x00, 0x19, 0x00, 0x2A, 0xFF, 0x00, 0x81, 0x00, 0xC0, 0x05, 0x8C, 0x09,
    0x01, 0xA1, 0x01, 0x85, 0xB1, 0x09, 0x02, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
    0x95, 0x20, 0x81, 0x02, 0x85, 0xB2, 0x09, 0x03, 0x95, 0x20, 0x91, 0x02, 0xC0};

TEST(ReportDescriptor, TopLevelCollections) {
  EXPECT_EQ(describe(kScannerDescriptor), "0001:0006 008c:0001");
  std::vector<TopLevelCollection> collections;
  ASSERT_TRUE(
      parseTopLevelCollections(kScannerDescriptor.data(), kScannerDescriptor.size(), &collections));
  EXPECT_TRUE(hasTopLevelCollection(collections, 0x8C, 0x01));
  EXPECT_FALSE(hasTopLevelCollection(collections, 0x8C, 0x02));
  EXPECT_FALSE(hasTopLevelCollection(collections, 0x01, 0x01));

  // A 4-byte usage carries its own page; a 2-byte page is read whole.
  EXPECT_EQ(describe({0x0B, 0x01, 0x00, 0x8C, 0x00, 0xA1, 0x01, 0xC0}), "008c:0001");
  EXPECT_EQ(describe({0x06, 0x00, 0xFF, 0x0A, 0x34, 0x12, 0xA1, 0x01, 0xC0}), "ff00:1234");
  // The page in effect at the Collection item applies to a short usage.
  EXPECT_EQ(describe({0x09, 0x01, 0x05, 0x8C, 0xA1, 0x01, 0xC0}), "008c:0001");
  // Push and Pop restore the page.
  EXPECT_EQ(describe({0x05, 0x8C, 0xA4, 0x05, 0x01, 0xB4, 0x09, 0x01, 0xA1, 0x01, 0xC0}),
            "008c:0001");
  // A long item is skipped whole, its data included.
  EXPECT_EQ(
      describe({0xFE, 0x03, 0x10, 0xA1, 0x01, 0xC0, 0x05, 0x8C, 0x09, 0x01, 0xA1, 0x01, 0xC0}),
      "008c:0001");
  // Nested collections are not top-level; physical ones are not application ones.
  EXPECT_EQ(describe({0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x05, 0x8C, 0x09, 0x01, 0xA1, 0x01,
                      0xC0, 0xC0, 0x09, 0x01, 0xA1, 0x00, 0xC0, 0x09, 0x01, 0xA0, 0xC0}),
            "0001:0002");
  // Usages belong to the next main item only.
  EXPECT_EQ(describe({0x05, 0x8C, 0x09, 0x01, 0x81, 0x02, 0xA1, 0x01, 0xC0}), "008c:0000");
  // A stray End Collection does not make later collections nested.
  EXPECT_EQ(describe({0xC0, 0x05, 0x8C, 0x09, 0x01, 0xA1, 0x01, 0xC0}), "008c:0001");
}

TEST(ReportDescriptor, TruncatedInput) {
  bool ok = true;
  EXPECT_EQ(describe({}, &ok), "");
  EXPECT_TRUE(ok);
  EXPECT_EQ(describe({0x05, 0x8C, 0x09, 0x01, 0xA1, 0x01, 0xC0, 0x06, 0x00}, &ok), "008c:0001");
  EXPECT_FALSE(ok);
  EXPECT_EQ(describe({0x0B, 0x01, 0x00, 0x8C}, &ok), "");
  EXPECT_FALSE(ok);
  EXPECT_EQ(describe({0xFE, 0xFF, 0x10, 0x00}, &ok), "");
  EXPECT_FALSE(ok);
  EXPECT_EQ(describe({0xFE}, &ok), "");
  EXPECT_FALSE(ok);
  // Every prefix of a real descriptor parses without reading past its end.
  for (size_t n = 0; n <= kScannerDescriptor.size(); ++n) {
    std::vector<uint8_t> prefix(kScannerDescriptor.begin(), kScannerDescriptor.begin() + n);
    std::vector<TopLevelCollection> collections;
    parseTopLevelCollections(prefix.data(), prefix.size(), &collections);
    EXPECT_LE(collections.size(), 2u);
  }
}

}  // namespace
