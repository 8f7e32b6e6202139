// How an update ended: the result the JSON output, the log, a parallel update
// and the callers of a session read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

/// How an update ended. Each code has a fixed name (updateOutcomeName) that
/// scripts can rely on.
enum class UpdateOutcome : uint8_t {
  kUpdated,
  kInvalidFile,              ///< the file is not a valid firmware file
  kEmptyImage,               ///< the image has no bytes
  kNoDevice,                 ///< no device with the ids (and --port/--serial) is listed
  kWrongModel,               ///< none of the listed devices reports the file's model
  kMultipleDevices,          ///< several do
  kGetInfo,                  ///< no answer to CmdGetInfo (before or after the switch)
  kProtocolVersion,          ///< the device speaks an unknown protocol version
  kProtocolMismatch,         ///< it offers none of the protocol bits the file asks for
  kSwitchTimeout,            ///< its bootloader did not show up in time
  kBootloaderNotResponding,  ///< the bootloader never answered its version request
  kWrongBootloaderModel,     ///< the bootloader reports another model
  kSetProtocol,              ///< CmdSetProtocol failed
  kStartUpdate,              ///< no answer to CmdStartUpdate
  kWrite,                    ///< a chunk went unanswered six times
  kVerify,                   ///< the device did not confirm the image
  kInterrupted,              ///< Ctrl-C or SIGTERM
  kNoAnswer,                 ///< a device of several did not answer its version request
  kDeviceCount,              ///< --all --expect: another number of devices of the file's model
  kUpToDate,          ///< --skip-if-current: the device runs the file's version; not switched
  kDowngradeRefused,  ///< --no-downgrade: the file is older or cannot be compared
  kUnsignedImage,     ///< keys are trusted, and the file has no signature
  kSignatureInvalid,  ///< its signature does not verify (or is no signature)
  kUntrustedKey,      ///< it is signed by a key that is not trusted
};

/// The fixed name of an outcome ("updated", "switch-timeout", ...).
const char* updateOutcomeName(UpdateOutcome outcome);

/// A result's message as the JSON output and the library report it: as it
/// was printed, without the line end it may have had.
std::string reportedMessage(const std::string& message);

/// How an update session ended.
struct UpdateResult {
  bool updated() const { return outcome == UpdateOutcome::kUpdated; }
  /// Updated, or left alone because it was up to date: not a failure.
  bool succeeded() const { return updated() || outcome == UpdateOutcome::kUpToDate; }

  UpdateOutcome outcome = UpdateOutcome::kUpdated;
  uint32_t state = 0;         ///< the state it ended in (StateFinish when updated)
  std::string message;        ///< what it printed about the failure; empty for a silent one
  std::string detail;         ///< for a failure without a message of its own: why, in English
  uint32_t offset = 0;        ///< kWrite: offset of the chunk that went unanswered
  std::string port;           ///< the device's port, empty when unknown or none selected
  std::string serial;         ///< its serial number
  std::string versionBefore;  ///< the version it reported before the update
  std::string fileModel;      ///< the model the firmware file names
  std::string fileVersion;    ///< and its version
  double seconds = 0;         ///< how long the session ran, on the platform's clock
  /// kMultipleDevices: the ports of every device of the file's model.
  std::vector<std::string> ports;
  std::string sha256;         ///< of the file, once loaded (FirmwareInfo::sha256)
  std::string keyId;          ///< the trusted key that signed it; empty when not checked
};
