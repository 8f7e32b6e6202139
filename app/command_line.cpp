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
struct LongOption {
  const char* name;
  bool takesValue;
  // Applies the option; false with *problem set when the value is malformed.
  bool (*apply)(const char* value, CommandLine* line, const char** problem);
};

bool parseMilliseconds(const char* text, uint32_t* out) {
  if (*text < '0' || *text > '9') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || value > 60000) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

const LongOption kLongOptions[] = {
    {"--help", false,
     [](const char*, CommandLine* line, const char**) { return line->showHelp = true; }},
    {"--version", false,
     [](const char*, CommandLine* line, const char**) { return line->showVersion = true; }},
    {"--list", false,
     [](const char*, CommandLine* line, const char**) { return line->listDevices = true; }},
    {"--simulate", false,
     [](const char*, CommandLine* line, const char**) { return line->simulate = true; }},
    {"--simulate-latency", true,
     [](const char* value, CommandLine* line, const char** problem) {
       *problem = "a number of milliseconds up to 60000";
       return line->simulate = parseMilliseconds(value, &line->simulateLatencyMs);
     }},
    {"--inspect", true,
     [](const char* value, CommandLine* line, const char**) {
       line->inspectPath = value;
       return line->inspect = true;
     }},
    {"--image-out", true,
     [](const char* value, CommandLine* line, const char**) {
       line->imageOutPath = value;
       return line->writeImage = true;
     }},
};

// The option a word names ("--log" or "--log=FILE"), or null; *inlineValue
// points behind the '=' when there is one.
const LongOption* findLongOption(const char* word, const char** inlineValue) {
  *inlineValue = nullptr;
  const char* equals = std::strchr(word, '=');
  const size_t length = equals != nullptr ? static_cast<size_t>(equals - word) : std::strlen(word);
  for (const LongOption& option : kLongOptions) {
    if (std::strlen(option.name) != length || std::strncmp(option.name, word, length) != 0)
      continue;
    if (equals != nullptr) *inlineValue = equals + 1;
    return &option;
  }
  return nullptr;
}

bool longOptionTakesValue(const char* word) {
  const char* inlineValue;
  const LongOption* option = findLongOption(word, &inlineValue);
  return option != nullptr && option->takesValue && inlineValue == nullptr;
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

// Unknown long options are ignored, like unknown short ones. With
// `complain`, a malformed value is reported.
bool scanLongOption(const char* word, const char* nextWord, CommandLine* line, bool complain) {
  const char* inlineValue;
  const LongOption* option = findLongOption(word, &inlineValue);
  if (option == nullptr) return true;
  const char* value = inlineValue != nullptr ? inlineValue : nextWord;
  const char* problem = "";
  if (option->apply(value, line, &problem)) return true;
  if (complain)
    message("Error: option %.*s needs %s\n", static_cast<int>(std::strcspn(word, "=")), word,
            problem);
  return false;
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
    // Malformed values are refused before anything is printed or done.
    CommandLine scratch;
    if (std::strncmp(word, "--", 2) == 0 &&
        !scanLongOption(word, last ? "" : argv[i + 1], &scratch, true))
      return kScanUsageError;
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
        scanLongOption(word, value, line, false);
        break;
      default:
        break;
    }
  }
  return kScanOk;
}
