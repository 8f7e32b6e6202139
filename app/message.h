// All progress and error text goes through here, to standard error.
#pragma once

/// printf-style write to standard error; the text is the format itself,
/// so "%%" prints one percent sign.
[[gnu::format(printf, 1, 2)]] void message(const char* format, ...);

/// Writes text unchanged to standard error (no format interpretation).
void messageText(const char* text);

/// True when console text should be written as GBK bytes rather than UTF-8:
/// always on Windows; on other systems when the locale's character set
/// (LC_ALL, else LC_CTYPE, else LANG) names GBK, GB2312 or GB18030.
bool consoleUsesGbk();

/// Picks the GBK or the UTF-8 form of a message for the console.
const char* consoleText(const char* gbk, const char* utf8);
