#include "app/command_line.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "app/help_text.h"
#include "app/message.h"
#include "app/update_context.h"

namespace {

// Long options are this tool's additions; the classic scan passes over any
// word whose second character is '-', so the two never meet.
bool longOptionTakesValue(const char* word) {
  return std::strcmp(word, "--inspect") == 0 || std::strcmp(word, "--image-out") == 0;
}

bool shortOptionTakesValue(const char* word) {
  if (word[0] != '-') return false;
  switch (word[1]) {
    case 'b':
    case 'd':
      return word[2] == 'v' || word[2] == 'p';
    case 'f':
      return true;
    default:
      return false;
  }
}

void scanLongOption(const char* word, const char* value, CommandLine* line) {
  if (std::strcmp(word, "--help") == 0) {
    line->showHelp = true;
  } else if (std::strcmp(word, "--version") == 0) {
    line->showVersion = true;
  } else if (std::strcmp(word, "--list") == 0) {
    line->listDevices = true;
  } else if (std::strcmp(word, "--simulate") == 0) {
    line->simulate = true;
  } else if (std::strcmp(word, "--inspect") == 0) {
    line->inspect = true;
    line->inspectPath = value;
  } else if (std::strcmp(word, "--image-out") == 0) {
    line->writeImage = true;
    line->imageOutPath = value;
  }
  // Unknown long options are ignored, like unknown short ones.
}

}  // namespace

uint16_t parseHexValue(const char* text) {
  // The value is converted as by a 32-bit strtol: strtoll, then saturated.
  errno = 0;
  long long value = std::strtoll(text, nullptr, 16);
  if (value > INT32_MAX) value = INT32_MAX;
  if (value < INT32_MIN) value = INT32_MIN;
  return static_cast<uint16_t>(static_cast<uint32_t>(static_cast<int32_t>(value)) & 0xFFFFu);
}

ScanResult scanCommandLine(int argc, const char* const* argv, CommandLine* line) {
  // Only the last word can lack the value that follows it. A long option's
  // value is never another long option: `--inspect --image-out x` lacks one.
  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    const bool last = i + 1 == argc;
    const bool missing =
        (last && shortOptionTakesValue(word)) ||
        (longOptionTakesValue(word) && (last || std::strncmp(argv[i + 1], "--", 2) == 0));
    if (missing) {
      message("Error: option %s needs a value\n", word);
      return kScanUsageError;
    }
  }

  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    if (word[0] != '-') continue;
    switch (word[1]) {
      case 'b':
        if (word[2] == 'v') gContext.bootVid = parseHexValue(value);
        if (word[2] == 'p') gContext.bootPid = parseHexValue(value);
        break;
      case 'd':
        if (word[2] == 'v') gContext.appVid = parseHexValue(value);
        if (word[2] == 'p') gContext.appPids[0] = parseHexValue(value);
        break;
      case 'f':
        gContext.firmwarePath = value;
        break;
      case 'h':
        printHelpText();
        break;
      case 'r':
        line->readMode = true;
        break;
      case 'v':
        printBanner();
        break;
      case '-':
        scanLongOption(word, value, line);
        break;
      default:
        break;
    }
  }
  return kScanOk;
}
