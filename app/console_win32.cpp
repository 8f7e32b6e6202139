#include <io.h>

#include <clocale>

#include "app/console.h"

void selectConsoleLocale() {
  std::setlocale(LC_ALL, "chs");
}

// The console code page of the Simplified Chinese systems this tool serves.
bool consoleUsesGbk() {
  return true;
}

// A closed standard handle cannot be taken over by a device here (devices are
// opened as handles, not C run-time descriptors), and there is no SIGPIPE:
// a write to a reader that went away just fails.
void prepareStandardStreams() {}

void writeErrorAtOnce(const char* text, unsigned length) {
  _write(2, text, length);
}

// The console takes escape sequences only once asked to through the console
// API, which stays in the HID backend's file: the station prints lines here.
bool consoleCanRedraw() {
  return false;
}
