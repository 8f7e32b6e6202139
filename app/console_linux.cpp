#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/console.h"

// There is no "chs" locale here. Nothing tavrin prints depends on the locale
// (the help text's encoding is chosen from the variables' names alone), so
// the C locale stays: no locale files are opened at start-up, and numbers
// print the same for every user.
void selectConsoleLocale() {}

// A GBK byte stream is unreadable on the UTF-8 terminals Linux users have, so
// GBK is written only where the locale asks for it.
bool consoleUsesGbk() {
  const char* value = nullptr;
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
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

void prepareStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is this one: the ones below are open by now.
    const int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (null >= 0 && null != fd) {
      ::dup2(null, fd);
      ::close(null);
    }
  }
  // A log reader that goes away (head, a killed tee) must not end an update
  // half way: the write fails and the session runs to its end.
  std::signal(SIGPIPE, SIG_IGN);
}

void writeErrorAtOnce(const char* text, unsigned length) {
  // Nothing to do about a failed write on the way out.
  if (::write(2, text, length) < 0) return;
}

bool consoleCanRedraw() {
  const char* term = std::getenv("TERM");
  return ::isatty(1) == 1 && ::isatty(2) == 1 && term != nullptr && std::strcmp(term, "dumb") != 0;
}
