// What the console expects: its locale and the encoding of Chinese text.
#pragma once

/// Selects the locale for all categories: the Simplified Chinese one on
/// Windows ("chs"), the one the environment names elsewhere.
void selectConsoleLocale();

/// True when console text should be written as GBK bytes rather than UTF-8:
/// always on Windows; elsewhere when the locale's character set (LC_ALL, else
/// LC_CTYPE, else LANG) names GBK, GB2312 or GB18030.
bool consoleUsesGbk();
