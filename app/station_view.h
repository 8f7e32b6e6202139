// What the station shows while it runs: on a terminal a live view, one line
// per port and a line of counts redrawn in place; elsewhere the sessions'
// port-prefixed lines and one line per ended unit; under --json the events
// and one "unit" object per ended unit.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/station_ledger.h"

class RunReport;

enum class StationOutput : uint8_t { kLines, kLive, kJson };

/// Thread-safe: the workers of the ports and the watching thread share it.
class StationView {
 public:
  StationView(RunReport& report, StationOutput output) : report_(report), output_(output) {}

  StationOutput output() const { return output_; }
  /// What a port is doing ("waiting", "writing", "done: remove the board")
  /// and how far its write is (-1: no bar).
  void portState(const std::string& port, const std::string& state, int percent = -1);
  /// A unit ended: its line, or its JSON object; counted.
  void unitEnded(const UnitRecord& record, uint32_t unit, const std::string& why);
  /// A line of the station's own (a device it does not take, a ledger
  /// failure), on standard error.
  void note(const std::string& text);
  /// Redraws the live view when something changed; nowMs on the station's
  /// clock, for the units per hour.
  void refresh(int64_t nowMs);
  /// The counts, once, at the end.
  void finish(int64_t nowMs);

  uint32_t updated() const { return updated_; }
  uint32_t failed() const { return failed_; }

 private:
  struct Port {
    std::string state = "waiting";
    int percent = -1;
    std::string last;
  };
  std::string countsText(int64_t nowMs) const;
  void draw(int64_t nowMs);

  RunReport& report_;
  StationOutput output_;
  std::mutex mutex_;
  std::map<std::string, Port> ports_;
  std::vector<std::string> above_;  ///< lines to print above the live view
  size_t drawnLines_ = 0;
  bool dirty_ = true;
  int64_t startMs_ = -1;
  uint32_t updated_ = 0;
  uint32_t failed_ = 0;
};

/// "units per hour" from count units over elapsedMs (0 before a second passed).
int64_t unitsPerHour(uint32_t units, int64_t elapsedMs);
