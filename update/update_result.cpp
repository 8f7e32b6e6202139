#include "update/update_result.h"

const char* updateOutcomeName(UpdateOutcome outcome) {
  switch (outcome) {
    case UpdateOutcome::kUpdated:
      return "updated";
    case UpdateOutcome::kInvalidFile:
      return "invalid-file";
    case UpdateOutcome::kEmptyImage:
      return "empty-image";
    case UpdateOutcome::kNoDevice:
      return "no-device";
    case UpdateOutcome::kWrongModel:
      return "wrong-model";
    case UpdateOutcome::kMultipleDevices:
      return "multiple-devices";
    case UpdateOutcome::kGetInfo:
      return "get-info";
    case UpdateOutcome::kProtocolVersion:
      return "protocol-version";
    case UpdateOutcome::kProtocolMismatch:
      return "protocol-mismatch";
    case UpdateOutcome::kSwitchTimeout:
      return "switch-timeout";
    case UpdateOutcome::kBootloaderNotResponding:
      return "bootloader-not-responding";
    case UpdateOutcome::kWrongBootloaderModel:
      return "wrong-bootloader-model";
    case UpdateOutcome::kSetProtocol:
      return "set-protocol";
    case UpdateOutcome::kStartUpdate:
      return "start-update";
    case UpdateOutcome::kWrite:
      return "write";
    case UpdateOutcome::kVerify:
      return "verify";
    case UpdateOutcome::kInterrupted:
      return "interrupted";
    case UpdateOutcome::kNoAnswer:
      return "no-answer";
    case UpdateOutcome::kDeviceCount:
      return "device-count";
    case UpdateOutcome::kUpToDate:
      return "up-to-date";
    case UpdateOutcome::kDowngradeRefused:
      return "downgrade-refused";
    case UpdateOutcome::kUnsignedImage:
      return "unsigned-image";
    case UpdateOutcome::kSignatureInvalid:
      return "signature-invalid";
    case UpdateOutcome::kUntrustedKey:
      return "untrusted-key";
  }
  return "unknown";
}

std::string reportedMessage(const std::string& message) {
  std::string text = message;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}
