// What an update session tells whoever follows it (the JSON output, the
// session log). A listener only watches: nothing it does changes what the
// session does or prints.
#pragma once

#include <cstdint>
#include <string>

struct HidDevice;
struct UpdateResult;

class SessionListener {
 public:
  virtual ~SessionListener() = default;
  /// A device with the configured ids, as the selection found it listed.
  virtual void deviceListed(const HidDevice&) {}
  /// A listed device answered its version request during the selection.
  virtual void versionRead(const HidDevice&, const std::string& /*model*/,
                           const std::string& /*version*/) {}
  /// The one device of the file's model, and the version it reported.
  virtual void deviceSelected(const HidDevice&, const std::string& /*model*/,
                              const std::string& /*version*/) {}
  virtual void stateChanged(uint32_t /*from*/, uint32_t /*to*/) {}
  /// The request to switch into the bootloader has been sent.
  virtual void switching() {}
  virtual void bootloaderConnected(const HidDevice&) {}
  /// A well-formed CmdGetInfo answer, and the selection it leaves.
  virtual void protocolVersion(uint16_t /*version*/, uint8_t /*capabilities*/) {}
  /// A percentage the session printed.
  virtual void progress(uint32_t /*percent*/) {}
  virtual void verified(bool /*ok*/) {}
  virtual void finished(const UpdateResult&) {}
};

/// The listener of the sessions from now on (null: none).
void setSessionListener(SessionListener* listener);
