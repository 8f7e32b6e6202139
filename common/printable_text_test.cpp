#include "common/printable_text.h"

#include <gtest/gtest.h>

namespace {

TEST(PrintableText, ControlBytesBackslashAndNonAsciiAreEscaped) {
  EXPECT_EQ(printableText(""), "");
  EXPECT_EQ(printableText("TVR-100 ~"), "TVR-100 ~");
  EXPECT_EQ(printableText("a\\b"), "a\\\\b");
  EXPECT_EQ(printableText(std::string("\x00\x1F\x7F\x80\xFF\n", 6)),
            "\\x00\\x1f\\x7f\\x80\\xff\\x0a");
  // A line feed or an escape sequence cannot start a line of its own.
  EXPECT_EQ(printableText("1.0\n[bench-2] FORGED-LINE\x1b[2K"),
            "1.0\\x0a[bench-2] FORGED-LINE\\x1b[2K");
}

}  // namespace
