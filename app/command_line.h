// The option scan of the command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/simulated_bench.h"

struct UpdateContext;

/// What the scan found beyond the fields it writes into the UpdateContext.
struct CommandLine {
  bool readMode = false;           // -r
  bool showHelp = false;           // --help
  bool showVersion = false;        // --version
  bool listDevices = false;        // --list
  bool simulate = false;           // --simulate[=N]
  uint32_t simulatedDevices = 1;   // N
  uint32_t simulateLatencyMs = 0;  // --simulate-latency MS
  bool all = false;                // --all
  uint32_t jobs = 0;               // --jobs N (0: as many as devices)
  bool json = false;               // --json
  std::string logPath;             // --log FILE
  bool udevRule = false;           // --udev-rule
  bool udevProbe = false;          // --udev-probe PATH
  std::string udevProbePath;
  bool inspect = false;  // --inspect FILE
  std::string inspectPath;
  bool writeImage = false;  // --image-out PATH
  std::string imageOutPath;
  std::vector<std::string> simulateFaults;  // --simulate-fault NAME, each one
  /// The simulated devices these words ask for.
  SimulatedBench bench() const {
    return {givenIds, simulatedDevices, simulateFaults, simulateStatePath};
  }
  uint32_t expectedDevices = 0;             // --expect N (0: not given)
  std::string udevGroup;                    // --group NAME
  GivenIds givenIds;                        // -dv, -dp, -bv, -bp
  bool station = false;            // --station
  std::vector<std::string> ports;  // every --port PORT
  uint32_t retries = 0;            // --retries K
  uint32_t units = 0;              // --units N (0: until stopped)
  std::string ledgerPath;          // --ledger FILE
  std::string stationId;           // --station-id ID
  uint32_t settleSeconds = 3;      // --settle SECONDS
  std::string simulateSchedule;    // --simulate-schedule EVENTS
  bool check = false;                      // --check
  std::vector<std::string> trustKeyPaths;  // --trust-key FILE, each
  std::string simulateStatePath;           // --simulate-state FILE
};

enum ScanResult { kScanOk, kScanUsageError };

/// One line per long option, its value and what it does, for --help.
std::string longOptionSummary();

/// Converts an option value like strtol with base 16 on a 32-bit long
/// (saturating at the signed 32-bit range) and keeps the low 16 bits.
uint16_t parseHexValue(const char* text);

/// Scans argv into context and *line, printing the help text or banner where
/// -h or -v stands. An option that needs a value but stands last, and a long
/// option whose value is malformed, are usage errors: the message is printed
/// and nothing else is done. Long options take their value as the next word
/// or after '=' (--log=run.txt).
ScanResult scanCommandLine(int argc, const char* const* argv, UpdateContext& context,
                           CommandLine* line);
