#include "app/command_line.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/help_text.h"
#include "app/message.h"
#include "app/simulated_schedule.h"
#include "sim/simulated_bench.h"
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
    // An empty value would select every device: an unset shell variable
    // must not update whatever is attached.
    {"--port", true, "PORT", "only the device on this port (as --list shows it) takes part",
     [](const char* value, CommandLine* line, UpdateContext* context, const char** problem) {
       *problem = "a port as --list shows it, not an empty one";
       context->selectPort = value;
       line->ports.push_back(value);  // --station watches every one given
       return *value != '\0';
     }},
    {"--serial", true, "SERIAL", "only the device with this serial number takes part",
     [](const char* value, CommandLine*, UpdateContext* context, const char** problem) {
       *problem = "a serial number, not an empty one";
       context->selectSerial = value;
       return *value != '\0';
     }},
    {"--all", false, "", "update every device of the file's model at once, each on its port",
     [](const char* value, CommandLine* line, UpdateContext*, const char**) {
       return noValue(value) && (line->all = true);
     }},
    {"--jobs", true, "N", "with --all or --station: at most N updates at a time",
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
    {"--simulate", false, "[=N]",
     "dry run against N simulated devices (1) instead of hardware, with the ids given where "
     "they are well-formed hex (else ids of their own: abcd:1234, bootloader abcd:1000)",
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
    {"--simulate-fault", true, "NAME",
     "with --simulate: a fault of the uhid simulator, e.g. vanish:10@sim-1 (see man tavrin)",
     [](const char* value, CommandLine* line, UpdateContext*, const char** problem) {
       *problem = kSimulatedFaultForms;
       SimulatedFault fault;
       if (!parseSimulatedFault(value, &fault)) return false;
       line->simulateFaults.push_back(value);
       return line->simulate = true;
     }},
    {"--expect", true, "N",
     "with --all: fail before any switch unless N devices of the file's model answer",
     [](const char* value, CommandLine* line, UpdateContext*, const char** problem) {
       *problem = "a number of devices from 1 to 1024";
       return parseNumber(value, 1, 1024, &line->expectedDevices);
     }},
    {"--group", true, "NAME",
     "with --udev-rule: grant the group NAME access instead of the logged-in user",
     [](const char* value, CommandLine* line, UpdateContext*, const char** problem) {
       *problem = "a group name (letters, digits, '_', '-', '.')";
       line->udevGroup = value;
       // It goes into the rule between quotes: nothing that could end them.
       return value[0] != '\0' && value[0] != '-' &&
              std::strspn(value,
                          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-.") ==
                  std::strlen(value);
     }},
    {"--station", false, "", "flash every board plugged in, once, until Ctrl-C (see man tavrin)",
     [](const char* value, CommandLine* line, UpdateContext*, const char**) {
       return noValue(value) && (line->station = true);
     }},
    {"--retries", true, "K", "with --station: retry a failed board still attached K times",
     [](const char* value, CommandLine* line, UpdateContext*, const char** problem) {
       *problem = "a number of retries from 0 to 100";
       return parseNumber(value, 0, 100, &line->retries);
     }},
    {"--units", true, "N", "with --station: end once N units have ended",
     [](const char* value, CommandLine* line, UpdateContext*, const char** problem) {
       *problem = "a number of units from 1 to 1000000";
       return parseNumber(value, 1, 1000000, &line->units);
     }},
    {"--ledger", true, "FILE", "with --station: append one JSON line per unit to FILE",
     [](const char* value, CommandLine* line, UpdateContext*, const char**) {
       line->ledgerPath = value;
       return true;
     }},
    {"--station-id", true, "ID", "with --station: the station's name in the ledger",
     [](const char* value, CommandLine* line, UpdateContext*, const char**) {
       line->stationId = value;
       return true;
     }},
    {"--settle", true, "SECONDS",
     "with --station: an empty port is ready for a new board after SECONDS (3)",
     [](const char* value, CommandLine* line, UpdateContext*, const char** problem) {
       *problem = "a number of seconds from 1 to 3600";
       return parseNumber(value, 1, 3600, &line->settleSeconds);
     }},
    {"--simulate-schedule", true, "EVENTS",
     "with --simulate: boards plugged and pulled on the virtual clock (see man tavrin)",
     [](const char* value, CommandLine* line, UpdateContext*, const char** problem) {
       std::vector<ScheduledEvent> events;
       std::string why;
       if (!parseSimulatedSchedule(value, &events, &why)) {
         *problem = "events like '0+sim-0 9000-sim-0'";
         return false;
       }
       line->simulateSchedule = value;
       return line->simulate = true;
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

// Edit distance with adjacent transpositions (optimal string alignment):
// "simualte" is one step from "simulate".
size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i)
    for (size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  return d[a.size()][b.size()];
}

// The long option a mistyped name most likely meant, or null when none is
// close: at most one edit per four characters of the option's name (one at
// least).
const char* closestLongOption(const std::string& name) {
  const char* best = nullptr;
  size_t bestDistance = SIZE_MAX;
  for (const LongOption& option : kLongOptions) {
    const std::string candidate = option.name + 2;
    const size_t distance = editDistance(name.substr(2), candidate);
    if (distance <= std::max<size_t>(1, candidate.size() / 4) && distance < bestDistance) {
      best = option.name;
      bestDistance = distance;
    }
  }
  return best;
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

// With `complain`, a malformed value is reported. (Unknown long options
// are refused before: see scanCommandLine.)
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

// Options that mean something only beside another; allIds: -dv, -dp, -bv
// and -bp were all given.
bool checkCombinations(const CommandLine& line, bool allIds) {
  for (const std::string& text : line.simulateFaults) {
    SimulatedFault fault;
    parseSimulatedFault(text, &fault);
    if (!fault.port.empty() && std::stoul(fault.port.substr(4)) >= line.simulatedDevices) {
      message("Error: --simulate-fault %s: there is no simulated device %s\n", text.c_str(),
              fault.port.c_str());
      return false;
    }
  }
  if (line.expectedDevices != 0 && !line.all) {
    message("Error: option --expect needs --all\n");
    return false;
  }
  if (!line.udevGroup.empty() && !line.udevRule) {
    message("Error: option --group needs --udev-rule\n");
    return false;
  }
  if (line.udevRule && !allIds) {
    message("Error: option --udev-rule needs the device's ids: -dv VID -dp PID -bv VID -bp PID\n");
    return false;
  }
  return true;
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
  CommandLine checked;
  UpdateContext checkedContext;
  int idsGiven = 0;  // a bit for each of -dv, -dp, -bv and -bp
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
    // Every word of two dashes is one of ours, unless it is an option's
    // value, which is copied unchanged (-f --fw.bin): a mistyped long option
    // must not turn a dry run into a real one.
    const bool valueWord = i > 1 && shortOptionTakesValue(argv[i - 1]);
    const char* inlineValue;
    if (!valueWord && std::strncmp(word, "--", 2) == 0 &&
        findLongOption(word, &inlineValue) == nullptr) {
      const std::string name(word, std::strcspn(word, "="));
      const char* meant = closestLongOption(name);
      if (meant != nullptr)
        message("Error: unknown option %s (did you mean %s?)\n", name.c_str(), meant);
      else
        message("Error: unknown option %s\n", name.c_str());
      return kScanUsageError;
    }
    // Malformed values are refused before anything is printed or done.
    if (std::strncmp(word, "--", 2) == 0 &&
        !scanLongOption(word, last ? "" : argv[i + 1], &checked, &checkedContext, true))
      return kScanUsageError;
    if (word[0] == '-' && (word[1] == 'd' || word[1] == 'b') && (word[2] == 'v' || word[2] == 'p'))
      idsGiven |= 1 << ((word[1] == 'b' ? 2 : 0) + (word[2] == 'p' ? 1 : 0));
  }
  if (!checkCombinations(checked, idsGiven == 15)) return kScanUsageError;

  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    if (word[0] != '-') continue;
    switch (word[1]) {
      case 'b':
        if (word[2] == 'v') context.bootVid = parseHexValue(value);
        if (word[2] == 'p') context.bootPid = parseHexValue(value);
        if (word[2] == 'v') line->givenIds.bootVid = value;
        if (word[2] == 'p') line->givenIds.bootPid = value;
        break;
      case 'd':
        if (word[2] == 'v') context.appVid = parseHexValue(value);
        if (word[2] == 'p') context.appPids[0] = parseHexValue(value);
        if (word[2] == 'v') line->givenIds.appVid = value;
        if (word[2] == 'p') line->givenIds.appPid = value;
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
