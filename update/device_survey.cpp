#include "update/device_survey.h"

#include "common/printable_text.h"
#include "update/commands.h"
#include "update/permission_hint.h"
#include "update/session_listener.h"

bool listSurveyedDevices(CHidManager& manager, SessionListener& listener) {
  manager.refreshDevices();
  for (HidDevice* device = manager.firstDevice(); device != nullptr;
       device = manager.nextDevice())
    listener.deviceListed(*device);
  for (const OpenFailure& failure : manager.openFailures())
    listener.interfaceNotOpened(failure.node, failure.why);
  if (manager.deviceCount() > 0) return true;
  listener.message("No specified VID/PID HID device detected!");
  printHidPermissionHint(listener, manager.permissionProblems(),
                         manager.platform().permissionAdvice(), true);
  return false;
}

std::string unansweredVersionReason(const HidDevice& device, TransactionStatus status, bool nameIt) {
  std::string text = "Error: no answer to the version request";
  if (nameIt) text += device.port.empty() ? " from " + device.path : " from port " + device.port;
  return text + (status == kTransactionTimeout ? " (no answer within a second)"
                                               : " (the device is gone or failed)");
}

DeviceAnswer askDeviceVersion(TransactionLink& link, HidDevice& device, uint8_t protocolMask,
                              SessionListener& listener) {
  device.protocolMask = protocolMask;
  // Fresh buffers for every device: an answer without the marker leaves them
  // alone and must not pass another device's model or version off as its own.
  char model[64] = {};
  char version[64] = {};
  DeviceAnswer answer;
  answer.status = readFirmwareVersion(link, &device, model, version);
  if (answer.status == kTransactionOk) {
    answer.model = model;
    answer.version = version;
    // The device's own text: it must not reach the terminal raw.
    const std::string line = "Deveice Firmware Version: " + printableText(answer.version) + "\n";
    listener.message(line.c_str());
  }
  listener.versionAnswered(device, answer.status, answer.model, answer.version);
  return answer;
}
