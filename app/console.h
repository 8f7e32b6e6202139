// What the console expects: its locale and the encoding of Chinese text.
#pragma once

/// Selects the locale for all categories: the Simplified Chinese one on
/// Windows ("chs"), the one the environment names elsewhere.
void selectConsoleLocale();

/// True when console text should be written as GBK bytes rather than UTF-8:
/// always on Windows; elsewhere when the locale's character set (LC_ALL, else
/// LC_CTYPE, else LANG) names GBK, GB2312 or GB18030.
bool consoleUsesGbk();

/// Makes the standard streams safe whatever state the caller left them in:
/// a closed descriptor 0, 1 or 2 is pointed at the null device before
/// anything else is opened, so that no file or device takes its number; and
/// a reader that goes away only makes writes fail, it does not end the process.
void prepareStandardStreams();

/// Writes length bytes of text to standard error with one system call and
/// nothing else: safe in a signal handler.
void writeErrorAtOnce(const char* text, unsigned length);
/// True when standard output and standard error are both a terminal that
/// can redraw lines in place (a live view is shown there).
bool consoleCanRedraw();
