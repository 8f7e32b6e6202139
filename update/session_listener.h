// What an update session tells whoever follows it: the console, the JSON
// output, the session log, a station, a library's caller. A listener only
// watches: nothing it does changes what the session does.
#pragma once

#include <cstdint>
#include <string>

#include "hid/transaction.h"

struct HidDevice;
struct UpdateResult;

class SessionListener {
 public:
  virtual ~SessionListener() = default;
  /// A message for the operator, exactly as the console shows it: it may end
  /// without a line feed, or in a carriage return that lets the next one
  /// overwrite it.
  virtual void message(const char* /*text*/) {}
  /// The container parser's trace word, for the standard output of a
  /// single update's text mode.
  virtual void traceWord(const char* /*word*/) {}
  /// An explanation for the log (one line, no line feed); the console shows
  /// it as a message under --verbose only, which the session then also says.
  virtual void note(const char* /*text*/) {}
  /// A device that passes the filter, as the selection found it listed.
  virtual void deviceListed(const HidDevice&) {}
  /// A listed device was asked for its version (model and version are empty
  /// unless status is kTransactionOk and the answer carried them).
  virtual void versionAnswered(const HidDevice&, TransactionStatus /*status*/,
                               const std::string& /*model*/, const std::string& /*version*/) {}
  /// The one device of the file's model, and the version it reported.
  virtual void deviceSelected(const HidDevice&, const std::string& /*model*/,
                              const std::string& /*version*/) {}
  virtual void stateChanged(uint32_t /*from*/, uint32_t /*to*/) {}
  /// The request to switch into the bootloader has been sent.
  virtual void switching() {}
  virtual void bootloaderConnected(const HidDevice&) {}
  /// A well-formed CmdGetInfo answer.
  virtual void protocolVersion(uint16_t /*version*/, uint8_t /*capabilities*/) {}
  /// A percentage the session printed.
  virtual void progress(uint32_t /*percent*/) {}
  /// Where the write stands: bytes written of the image's length, after
  /// every chunk.
  virtual void written(uint32_t /*offset*/, uint32_t /*length*/) {}
  virtual void verified(bool /*ok*/) {}
  virtual void finished(const UpdateResult&) {}
  /// An interface that passes the filter could not be opened; why is the
  /// system's words for it.
  virtual void interfaceNotOpened(const std::string& /*node*/, const std::string& /*why*/) {}
};
