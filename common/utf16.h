// UTF-8 and UTF-16 by hand, so that no conversion depends on the C runtime's
// locale (which the help text sets to a Chinese one on Windows).
#pragma once

#include <string>
#include <string_view>

/// UTF-16 of UTF-8 text; a byte that starts no valid sequence becomes U+FFFD.
std::u16string utf16FromUtf8(std::string_view text);

/// UTF-8 of UTF-16 text; an unpaired surrogate becomes U+FFFD.
std::string utf8FromUtf16(std::u16string_view text);
