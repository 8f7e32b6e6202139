#include "app/station_ledger.h"

#include <chrono>
#include <cstdio>

#include "common/files.h"

std::string utcTimestamp(int64_t unixSeconds) {
  using namespace std::chrono;
  const sys_seconds when{seconds(unixSeconds)};
  const sys_days day = floor<days>(when);
  const year_month_day date(day);
  const hh_mm_ss<seconds> time(when - day);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

JsonLine unitRecordObject(const UnitRecord& record, JsonLine object) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", record.seconds);
  object.add("time", utcTimestamp(record.unixSeconds))
      .add("station", record.station)
      .add("port", record.port)
      .add("serial", record.serial)
      .add("model", record.model)
      .add("version-before", record.versionBefore)
      .add("file", record.file)
      .add("sha256", record.sha256)
      .add("result", record.updated ? "updated" : "failed")
      .add("reason", record.reason)
      .add("attempts", int64_t{record.attempts})
      .addRaw("seconds", seconds);
  return object;
}

std::string ledgerPathProblem(const std::string& path, const std::string& firmwarePath,
                              const std::string& logPath, const std::string& imageOutPath) {
  // The ledger is only ever appended to, but appending to the firmware file
  // would change what the next unit gets, and lines in the log or image would
  // spoil both.
  auto is = [&path](const std::string& other) {
    return !other.empty() && (other == path || sameFile(other, path));
  };
  if (is(firmwarePath)) return "it is the firmware file";
  if (is(logPath)) return "it is the log (--log)";
  if (is(imageOutPath)) return "it is the --image-out path";
  return {};
}

StationLedger::~StationLedger() {
  if (file_ != nullptr) std::fclose(file_);
}

bool StationLedger::open(const std::string& path) {
  file_ = openFile(path, "ab");
  return file_ != nullptr;
}

bool StationLedger::append(const UnitRecord& record) {
  if (file_ == nullptr) return false;
  const std::string line = unitRecordObject(record).text() + "\n";
  return std::fwrite(line.data(), 1, line.size(), file_) == line.size() && std::fflush(file_) == 0;
}
