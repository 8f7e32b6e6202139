// What a run reports beyond its messages: JSON Lines on standard output
// (--json) and a timestamped English trace appended to a file (--log).
#pragma once

#include <array>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "app/json.h"
#include "hid/hid_platform.h"
#include "hid/transaction.h"
#include "update/session_listener.h"

struct CommandLine;

class RunReport : public SessionListener, public ExchangeListener {
 public:
  RunReport() = default;
  ~RunReport() override;
  RunReport(const RunReport&) = delete;
  RunReport& operator=(const RunReport&) = delete;

  /// Starts the report of a run: opens the log (appending) and writes the
  /// command line into it. False, with a message, when the log cannot be opened.
  bool start(const CommandLine& line, int argc, const char* const* argv);
  bool json() const { return json_; }

  /// One JSON line on standard output (under --json).
  void emit(const JsonLine& object);
  /// One timestamped line in the log, written at once.
  [[gnu::format(printf, 2, 3)]] void log(const char* format, ...);

  // --list, -r and --inspect
  void interfaceListed(const HidInterfaceInfo& info, const char* mode);
  void versionAnswered(const HidDevice& device, TransactionStatus status, const std::string& model,
                       const std::string& version);
  /// The end of a run: its exit status, for the log.
  void finishedWith(int status);

  // The update session
  void deviceListed(const HidDevice& device) override;
  void versionRead(const HidDevice& device, const std::string& model,
                   const std::string& version) override;
  void deviceSelected(const HidDevice& device, const std::string& model,
                      const std::string& version) override;
  void stateChanged(uint32_t from, uint32_t to) override;
  void switching() override;
  void bootloaderConnected(const HidDevice& device) override;
  void protocolVersion(uint16_t version, uint8_t capabilities) override;
  void progress(uint32_t percent) override;
  void verified(bool ok) override;
  void finished(const UpdateResult& result) override;
  void exchanged(const ExchangeRecord& record) override;

 private:
  // The time, and the port of a run of a parallel update, in front of a line;
  // out holds 100 characters. Returns the length.
  size_t stampText(std::chrono::steady_clock::time_point when, char* out);
  void flushLog();
  void closeLog();
  void writeLine(const char* line, size_t length, bool flushNow,
                 std::chrono::steady_clock::time_point when);
  void write(const char* format, va_list args, bool flushNow,
             std::chrono::steady_clock::time_point when);

  std::FILE* log_ = nullptr;
  // Lines not yet handed to the file (see writeLine).
  std::array<char, 64 * 1024> pending_;
  size_t pendingLength_ = 0;
  bool json_ = false;
  std::time_t stampSeconds_ = 0;
  char stamp_[48] = {};
  std::chrono::steady_clock::time_point lastFlush_;
  std::chrono::system_clock::time_point wallOrigin_;
  std::chrono::steady_clock::time_point steadyOrigin_;
};

/// The report of this run; always there (reporting nothing until started).
RunReport& runReport();

/// An update's end as a JSON object ("event":"result").
JsonLine updateResultObject(const UpdateResult& result, bool ok);
