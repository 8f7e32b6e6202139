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
  // Required as the next word or after '='; an option without one may
  // still take one after '=' (--simulate=4), which apply then checks.
  bool takesValue;
  const char* valueName;  // as --help shows it: "FILE", "[=N]", or ""
  const char* help;
  // Applies the option; false with *problem set when the value is malformed.
  bool (*apply)(const char* value, CommandLine* line, UpdateContext* context, const char** problem);
};

bool parseNumber(const char* text, uint32_t low, uint32_t high, uint32_t* out) {
  if (*text < '0' || *text > '9') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < low || value > high) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

// The options that take no value are given one only after '='.
bool noValue(const char* value) {
  return value == nullptr;
}

const LongOption kLongOptions[] = {
    {"--help", false, "", "this text, on standard output",
     [](const char* value, CommandLine* line, UpdateContext*, const char**) {
       return noValue(value) && (line->showHelp = true);
     }},
    {"--version", false, "", "the banner alone",
     [](const char* value, CommandLine* line, UpdateContext*, const char**) {
       return noValue(value) && (line->showVersion = true);
     }},
    {"--list", false, "",
     "every HID interface of this kind: node, ids, product, mode, port, serial",
     [](const char* value, CommandLine* line, UpdateContext*, const char**) {
       return noValue(value) && (line->listDevices = true);
     }},
    {"--inspect", true, "FILE", "check a firmware file as an update loads it; no device is touched",
     [](const char* value, CommandLine* line, UpdateContext*, const char**) {
       line->inspectPath = value;
       return line->inspect = true;
     }},
    {"--image-out", true, "PATH", "with --inspect: write the bytes an update would send",
     [](const char* value, CommandLine* line, UpdateContext*, const char**) {
       line->imageOutPath = value;
       return line->writeImage = true;
     }},
    {"--port", true, "PORT", "only the device on this port (as --list shows it) takes part",
     [](const char* value, CommandLine*, UpdateContext* context, const char**) {
       context->selectPort = value;
       return true;
     }},
    {"--serial", true, "SERIAL", "only the device with this serial number takes part",
     [](const char* value, CommandLine*, UpdateContext* context, const char**) {
       context->selectSerial = value;
       return true;
     }},
    {"--all", false, "", "update every device of the file's model at once, each on its port",
     [](const char* value, CommandLine* line, UpdateContext*, const char**) {
       return noValue(value) && (line->all = true);
     }},
    {"--jobs", true, "N", "with --all: at most N updates at a time",
     [](const char* value, CommandLine* line, UpdateContext*, const char** problem) {
       *problem = "a number of parallel updates from 1 to 256";
       return parseNumber(value, 1, 256, &line->jobs);
     }},
    {"--json", false, "", "results as JSON Lines on standard output (see man tavrin)",
     [](const char* value, CommandLine* line, UpdateContext*, const char**) {
       return noValue(value) && (line->json = true);
     }},
    {"--log", true, "FILE", "append a timestamped trace of the run to FILE",
     [](const char* value, CommandLine* line, UpdateContext*, const char**) {
       line->logPath = value;
       return true;
     }},
    {"--verbose", false, "", "explain a failure that has no message of its own",
     [](const char* value, CommandLine*, UpdateContext* context, const char**) {
       return noValue(value) && (context->verbose = true);
     }},
    {"--simulate", false, "[=N]", "dry run against N simulated devices (1) instead of hardware",
     [](const char* value, CommandLine* line, UpdateContext*, const char** problem) {
       *problem = "a number of devices from 1 to 64 after '='";
       line->simulate = true;
       return value == nullptr || parseNumber(value, 1, 64, &line->simulatedDevices);
     }},
    {"--simulate-latency", true, "MS", "with --simulate: every exchange takes MS milliseconds",
     [](const char* value, CommandLine* line, UpdateContext*, const char** problem) {
       *problem = "a number of milliseconds up to 60000";
       return line->simulate = parseNumber(value, 0, 60000, &line->simulateLatencyMs);
     }},
    {"--udev-rule", false, "", "print a udev rule that grants access to the -dv/-dp/-bv/-bp ids",
     [](const char* value, CommandLine* line, UpdateContext*, const char**) {
       return noValue(value) && (line->udevRule = true);
     }},
    {"--udev-probe", true, "PATH",
     "for udev: tell whether the hidraw device at PATH is of this kind",
     [](const char* value, CommandLine* line, UpdateContext*, const char**) {
       line->udevProbePath = value;
       return line->udevProbe = true;
     }},
    {"--check", false, "", "print what an update would do to each matching device; no switch",
     [](const char* value, CommandLine* line, UpdateContext*, const char**) {
       return noValue(value) && (line->check = true);
     }},
    {"--skip-if-current", false, "", "leave alone a device that runs the file's version",
     [](const char* value, CommandLine*, UpdateContext* context, const char**) {
       return noValue(value) && (context->policy.skipIfCurrent = true);
     }},
    {"--no-downgrade", false, "", "refuse a file older than the device's firmware",
     [](const char* value, CommandLine*, UpdateContext* context, const char**) {
       return noValue(value) && (context->policy.noDowngrade = true);
     }},
    {"--file-version", true, "V", "the version of a file that carries none",
     [](const char* value, CommandLine*, UpdateContext* context, const char** problem) {
       *problem = "a version text";
       context->imageCheck.statedVersion = value;
       return *value != '\0';
     }},
    {"--trust-key", true, "FILE", "accept only files signed by this minisign key (repeatable)",
     [](const char* value, CommandLine* line, UpdateContext*, const char**) {
       line->trustKeyPaths.push_back(value);
       return true;
     }},
    {"--simulate-state", true, "FILE", "with --simulate: keep each device's version in FILE",
     [](const char* value, CommandLine* line, UpdateContext*, const char**) {
       line->simulateStatePath = value;
       return line->simulate = true;
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
bool scanLongOption(const char* word, const char* nextWord, CommandLine* line,
                    UpdateContext* context, bool complain) {
  const char* inlineValue;
  const LongOption* option = findLongOption(word, &inlineValue);
  if (option == nullptr) return true;
  const char* value = inlineValue != nullptr ? inlineValue
                      : option->takesValue   ? nextWord
                                             : nullptr;
  const char* problem = "no value";
  if (option->apply(value, line, context, &problem)) return true;
  if (complain)
    message("Error: option %.*s needs %s\n", static_cast<int>(std::strcspn(word, "=")), word,
            problem);
  return false;
}

}  // namespace

std::string longOptionSummary() {
  std::string text;
  for (const LongOption& option : kLongOptions) {
    std::string usage = option.name;
    if (option.valueName[0] != '\0')
      usage += option.valueName[0] == '[' ? option.valueName : std::string(" ") + option.valueName;
    text += "  " + usage;
    text += usage.size() < 24 ? std::string(24 - usage.size(), ' ') : std::string("  ");
    text += option.help;
    text += "\n";
  }
  return text;
}

uint16_t parseHexValue(const char* text) {
  // The value is converted as by a 32-bit strtol: strtoll, then saturated.
  errno = 0;
  long long value = std::strtoll(text, nullptr, 16);
  if (value > INT32_MAX) value = INT32_MAX;
  if (value < INT32_MIN) value = INT32_MIN;
  return static_cast<uint16_t>(static_cast<uint32_t>(static_cast<int32_t>(value)) & 0xFFFFu);
}

ScanResult scanCommandLine(int argc, const char* const* argv, UpdateContext& context,
                           CommandLine* line) {
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
    UpdateContext scratchContext;
    if (std::strncmp(word, "--", 2) == 0 &&
        !scanLongOption(word, last ? "" : argv[i + 1], &scratch, &scratchContext, true))
      return kScanUsageError;
  }

  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    if (word[0] != '-') continue;
    switch (word[1]) {
      case 'b':
        if (word[2] == 'v') context.bootVid = parseHexValue(value);
        if (word[2] == 'p') context.bootPid = parseHexValue(value);
        break;
      case 'd':
        if (word[2] == 'v') context.appVid = parseHexValue(value);
        if (word[2] == 'p') context.appPids[0] = parseHexValue(value);
        break;
      case 'f':
        context.firmwarePath = value;
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
        scanLongOption(word, value, line, &context, false);
        break;
      default:
        break;
    }
  }
  return kScanOk;
}
