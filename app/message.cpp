#include "app/message.h"

#include <cstdarg>
#include <cstdio>

#include "app/console.h"

void message(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
}

void messageText(const char* text) {
  std::fputs(text, stderr);
}

const char* consoleText(const char* gbk, const char* utf8) {
  return consoleUsesGbk() ? gbk : utf8;
}
