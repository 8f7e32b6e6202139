#include "app/message.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

void message(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
}

void messageText(const char* text) { std::fputs(text, stderr); }

#ifdef _WIN32
bool consoleUsesGbk() { return true; }
#else
bool consoleUsesGbk() {
  const char* names[] = {"LC_ALL", "LC_CTYPE", "LANG"};
  const char* value = nullptr;
  for (const char* name : names) {
    value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') break;
    value = nullptr;
  }
  if (value == nullptr) return false;
  std::string upper;
  for (const char* p = value; *p != '\0'; ++p)
    upper += static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
  return upper.find("GBK") != std::string::npos || upper.find("GB2312") != std::string::npos ||
         upper.find("GB18030") != std::string::npos;
}
#endif

const char* consoleText(const char* gbk, const char* utf8) {
  return consoleUsesGbk() ? gbk : utf8;
}
