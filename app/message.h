// All console text goes through here: progress and errors to standard error,
// data for scripts to standard output.
#pragma once

#include <string>

#include "update/session_listener.h"

/// printf-style write to standard error; the text is the format itself,
/// so "%%" prints one percent sign.
[[gnu::format(printf, 1, 2)]] void message(const char* format, ...);

/// Writes text unchanged to standard error (no format interpretation).
void messageText(const char* text);

/// printf-style write to standard output, flushed at once. False when the
/// text could not be delivered (a full disk, a closed pipe).
[[gnu::format(printf, 1, 2)]] bool output(const char* format, ...);

/// Writes text unchanged to standard output, flushed at once; false as output().
bool outputText(const char* text);

/// False once text for standard output was not delivered (a write or a
/// flush failed), for the rest of the run.
bool outputDelivered();

/// Says on standard error that standard output lost text, with line; only
/// the first call of a run says anything, so a loss is told once.
void sayOutputLost(const char* line);

/// The exit status of a run that ended with status, once standard output has
/// been flushed: when it lost text, the loss is told (once) and a run that
/// succeeded fails instead.
int statusWithOutputChecked(int status);

/// A listener that shows the messages of an operation on standard error and
/// nothing else.
class ConsoleListener : public SessionListener {
 public:
  void message(const char* text) override { messageText(text); }
};

/// Picks the GBK or the UTF-8 form of a message for the console.
const char* consoleText(const char* gbk, const char* utf8);

/// While one is alive, everything message() and output() would write is
/// appended to it instead, so that tests can read what an operation said.
/// With TAVRIN_JSON_COLLECT naming a file, the JSON lines it took are
/// appended there when it ends (the schema check of the test run).
class MessageSink {
 public:
  MessageSink();
  ~MessageSink();
  MessageSink(const MessageSink&) = delete;
  MessageSink& operator=(const MessageSink&) = delete;

  std::string err;  ///< what went to standard error
  std::string out;  ///< what went to standard output
  bool outputFails = false;  ///< standard output takes nothing, as on a full disk
  bool outputLost = false;   ///< what outputDelivered() tells, while the sink lives
  bool lossSaid = false;     ///< sayOutputLost() has spoken

 private:
  MessageSink* previous_;
};
