#include "common/utf16.h"

#include <gtest/gtest.h>

namespace {

TEST(Utf16, RoundTripsLatinChineseAndAstralNames) {
  const std::string names[] = {"demo.bin", "caf\xC3\xA9.bin", "\xE4\xB8\xAD\xE6\x96\x87.hex",
                               "caf\xC3\xA9\xE5\x9B\xBA\xE4\xBB\xB6.qfw", "\xF0\x9F\x93\xA6"};
  for (const std::string& name : names) EXPECT_EQ(utf8FromUtf16(utf16FromUtf8(name)), name);
  EXPECT_EQ(utf16FromUtf8("caf\xC3\xA9"), u"caf\u00E9");
  EXPECT_EQ(utf16FromUtf8("\xE4\xB8\xAD"), u"\u4E2D");
  EXPECT_EQ(utf16FromUtf8("\xF0\x9F\x93\xA6"), u"\U0001F4E6");
}

TEST(Utf16, MalformedInputBecomesReplacementCharacters) {
  EXPECT_EQ(utf16FromUtf8("a\xFF"
                          "b"),
            u"a\uFFFDb");
  EXPECT_EQ(utf16FromUtf8("\xC3"), u"\uFFFD");          // cut short
  EXPECT_EQ(utf16FromUtf8("\xC0\xAF"), u"\uFFFD");      // overlong
  EXPECT_EQ(utf16FromUtf8("\xED\xA0\x80"), u"\uFFFD");  // a surrogate
  EXPECT_EQ(utf8FromUtf16(u"x\xD800y"), "x\xEF\xBF\xBDy");
}

}  // namespace
