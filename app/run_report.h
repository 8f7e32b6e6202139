// What a run reports beyond its messages: JSON Lines on standard output
// (--json) and a timestamped English trace appended to a file (--log); and
// the listener that follows one session for the console, the JSON output and
// the log.
#pragma once

#include <array>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "app/json.h"
#include "common/printable_text.h"
#include "hid/hid_platform.h"
#include "hid/transaction.h"
#include "update/session_listener.h"

struct CommandLine;

/// One per run. The sessions of a parallel update share it: every method is
/// safe to call from several threads, and every line goes out whole.
class RunReport {
 public:
  RunReport() = default;
  ~RunReport();
  RunReport(const RunReport&) = delete;
  RunReport& operator=(const RunReport&) = delete;

  /// Starts the report of a run: opens the log (appending) and writes the
  /// command line into it. False, with a message, when the log cannot be opened.
  bool start(const CommandLine& line, int argc, const char* const* argv);
  bool json() const { return json_; }
  bool logging() const { return log_ != nullptr; }

  /// One JSON line on standard output (under --json); with a device (the
  /// port of a run of a parallel update), the object names it first.
  void emit(const JsonLine& object, const std::string& device = "");
  /// One timestamped line in the log, written at once; port (the session's)
  /// goes in front when given.
  [[gnu::format(printf, 3, 4)]] void log(const std::string& port, const char* format, ...);
  /// One exchange in the log, in hex with its status and time, and for a
  /// failed one the system's words for why (systemError), when there are any.
  void logExchange(const std::string& port, const ExchangeRecord& record,
                   const std::string& systemError = "");
  /// Console text, written whole under the run's lock (parallel sessions).
  void console(const std::string& text);

  /// --list: one interface.
  void interfaceListed(const HidInterfaceInfo& info, const char* mode);
  /// The end of a run that ended with status: standard output is flushed,
  /// the status goes into the log, and the log is closed. Returns the exit
  /// status: a run that succeeded fails (1) when standard output or the log
  /// lost text, which is told on standard error, once for each.
  int finishedWith(int status);

 private:
  // The time and the port in front of a line; out holds 100 characters.
  // Returns the length.
  size_t stampText(std::chrono::steady_clock::time_point when, const std::string& port, char* out);
  void flushLog();
  void closeLog();
  void writeLine(const char* line, size_t length, bool flushNow,
                 std::chrono::steady_clock::time_point when);

  std::mutex mutex_;
  std::FILE* log_ = nullptr;
  std::string logPath_;
  // A write, flush or close of the log failed: the rest of it is dropped,
  // and the run goes on (an update is not stopped half way for its log).
  bool logLost_ = false;
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

/// How a SessionReport shows what it follows. Whatever a device supplies
/// (its port, serial, model, version) reaches the console and the log as
/// printableText; the JSON output carries it as it is, in JSON's escapes.
struct SessionReportStyle {
  /// In front of its log lines (the port of the update's filter, or of its
  /// device in a parallel update); empty: nothing.
  std::string logPort;
  /// A run of a parallel update: every console line carries "[PORT] " in
  /// front, goes out whole, and every JSON object names the device.
  bool gang = false;
  /// The version read (-r): every answer is a JSON "version" object.
  bool versionEvents = false;
  /// The container's trace word goes to standard output (the text mode of a
  /// single update).
  bool traceWord = false;
};

/// Follows one session (or the version read) for the console, the JSON
/// output and the log of a run.
class SessionReport : public SessionListener, public ExchangeListener {
 public:
  SessionReport(RunReport& report, SessionReportStyle style)
      : report_(report), style_(std::move(style)), shownPort_(printableText(style_.logPort)) {}
  ~SessionReport() override { flushConsole(); }
  SessionReport(const SessionReport&) = delete;
  SessionReport& operator=(const SessionReport&) = delete;

  /// Ends a line left open (a parallel update's run) on the console.
  void flushConsole();

  void message(const char* text) override;
  void traceWord(const char* word) override;
  void note(const char* text) override;
  void deviceListed(const HidDevice& device) override;
  void versionAnswered(const HidDevice& device, TransactionStatus status, const std::string& model,
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
  void interfaceNotOpened(const std::string& node, const std::string& why) override;
  void exchanged(const ExchangeRecord& record) override;

 private:
  void emit(const JsonLine& object);

  RunReport& report_;
  SessionReportStyle style_;
  std::string shownPort_;  // the port as the console and the log show it
  std::string partial_;  // gang: console text not yet ended by a line end
};

/// An update's end as a JSON object ("event":"result").
JsonLine updateResultObject(const UpdateResult& result);
