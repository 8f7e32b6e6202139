// The station's ledger: one JSON line per ended unit, appended to a file and
// flushed the moment the unit ends, so that no unit passes without its record.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/json.h"

/// One ended unit, as the ledger and the JSON output tell it.
struct UnitRecord {
  int64_t unixSeconds = 0;  ///< when it ended
  std::string station;
  std::string port;
  std::string serial;
  std::string model;
  std::string versionBefore;
  std::string file;
  std::string sha256;  ///< of the firmware file as given
  bool updated = false;
  std::string reason;  ///< the result's reason code ("updated", "write", ...)
  uint32_t attempts = 0;
  double seconds = 0;
};

/// "2024-05-01T12:30:05Z" for seconds since 1970 (UTC).
std::string utcTimestamp(int64_t unixSeconds);

/// The record's fields in the JSON output's hyphenated style, after those
/// object already has.
JsonLine unitRecordObject(const UnitRecord& record, JsonLine object = {});

/// Why path cannot be the ledger (it is the firmware file, the log or the
/// --image-out path), or empty when it can.
std::string ledgerPathProblem(const std::string& path, const std::string& firmwarePath,
                              const std::string& logPath, const std::string& imageOutPath);

class StationLedger {
 public:
  StationLedger() = default;
  ~StationLedger();
  StationLedger(const StationLedger&) = delete;
  StationLedger& operator=(const StationLedger&) = delete;

  /// Opens path for appending (never truncating); false when it cannot.
  bool open(const std::string& path);
  bool isOpen() const { return file_ != nullptr; }
  /// Appends one line and flushes it; false when it could not be written whole.
  bool append(const UnitRecord& record);

 private:
  std::FILE* file_ = nullptr;
};
