#include <clocale>

#include "app/console.h"

void selectConsoleLocale() {
  std::setlocale(LC_ALL, "chs");
}

// The console code page of the Simplified Chinese systems this tool serves.
bool consoleUsesGbk() {
  return true;
}
