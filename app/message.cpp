#include "app/message.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "app/console.h"
#include "app/exit_status.h"

namespace {

MessageSink* gSink = nullptr;
// Standard output lost text; that was said. Parallel updates write from
// several threads.
std::atomic<bool> gOutputLost{false};
std::atomic<bool> gLossSaid{false};

std::string formatted(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length <= 0) return {};
  std::string text(static_cast<size_t>(length) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(length));
  return text;
}

void noteOutputLost() {
  if (gSink != nullptr)
    gSink->outputLost = true;
  else
    gOutputLost = true;
}

}  // namespace

MessageSink::MessageSink() : previous_(gSink) {
  gSink = this;
}

MessageSink::~MessageSink() {
  gSink = previous_;
  // The test run collects every JSON line tavrin wrote, for the schema check.
  if (const char* collect = std::getenv("TAVRIN_JSON_COLLECT")) {
    if (std::FILE* file = std::fopen(collect, "a")) {
      size_t start = 0;
      for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1)
        if (out[start] == '{') std::fwrite(out.data() + start, 1, end - start + 1, file);
      std::fclose(file);
    }
  }
}

void message(const char* format, ...) {
  va_list args;
  va_start(args, format);
  if (gSink != nullptr)
    gSink->err += formatted(format, args);
  else
    std::vfprintf(stderr, format, args);
  va_end(args);
}

void messageText(const char* text) {
  if (gSink != nullptr) {
    gSink->err += text;
    return;
  }
  std::fputs(text, stderr);
  // Windows' C run-time buffers standard error when it is a file: a run
  // that is ended from outside (a station's supervisor) would lose it.
  std::fflush(stderr);
}

bool output(const char* format, ...) {
  va_list args;
  va_start(args, format);
  bool delivered = true;
  if (gSink != nullptr) {
    delivered = !gSink->outputFails;
    if (delivered) gSink->out += formatted(format, args);
  } else {
    delivered = std::vfprintf(stdout, format, args) >= 0 && std::fflush(stdout) == 0;
  }
  va_end(args);
  if (!delivered) noteOutputLost();
  return delivered;
}

bool outputText(const char* text) {
  bool delivered = true;
  if (gSink != nullptr) {
    delivered = !gSink->outputFails;
    if (delivered) gSink->out += text;
  } else {
    delivered = std::fputs(text, stdout) >= 0 && std::fflush(stdout) == 0;
  }
  if (!delivered) noteOutputLost();
  return delivered;
}

bool outputDelivered() {
  if (gSink != nullptr) return !gSink->outputLost;
  // Whatever reached the stream some other way counts too.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) gOutputLost = true;
  return !gOutputLost;
}

void sayOutputLost(const char* line) {
  const bool said =
      gSink != nullptr ? std::exchange(gSink->lossSaid, true) : gLossSaid.exchange(true);
  if (!said) messageText(line);
}

int statusWithOutputChecked(int status) {
  if (outputDelivered()) return status;
  sayOutputLost("Error: cannot write to standard output\n");
  return status == kExitSuccess ? kExitFailure : status;
}

const char* consoleText(const char* gbk, const char* utf8) {
  return consoleUsesGbk() ? gbk : utf8;
}
