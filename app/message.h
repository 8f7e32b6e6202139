// All progress and error text goes through here, to standard error.
#pragma once

/// printf-style write to standard error; the text is the format itself,
/// so "%%" prints one percent sign.
[[gnu::format(printf, 1, 2)]] void message(const char* format, ...);

/// Writes text unchanged to standard error (no format interpretation).
void messageText(const char* text);

/// Picks the GBK or the UTF-8 form of a message for the console.
const char* consoleText(const char* gbk, const char* utf8);
