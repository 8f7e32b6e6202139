// Finding the devices an operation talks to, and asking each for its version:
// written once for the update, the version read (-r) and the parallel update,
// with their messages.
#pragma once

#include <cstdint>
#include <string>

#include "hid/hid_manager.h"
#include "hid/transaction.h"

class SessionListener;

/// What a device said when asked for its version.
struct DeviceAnswer {
  TransactionStatus status = kTransactionOk;
  std::string model;    ///< empty unless the answer carried it
  std::string version;  ///< likewise
};

/// Refreshes manager and tells listener of every device it lists, and of
/// every interface that passes its filter but could not be opened. When it
/// lists none, says "No specified VID/PID HID device detected!" (no line
/// feed) and, where interfaces could not be opened, which and how to grant
/// access, and returns false.
bool listSurveyedDevices(CHidManager& manager, SessionListener& listener);

/// Asks device for its model and version, with protocolMask in byte 1 of
/// the request. When it answers, says "Deveice Firmware Version: %s\n" with
/// the version (printableText). Tells listener either way.
DeviceAnswer askDeviceVersion(TransactionLink& link, HidDevice& device, uint8_t protocolMask,
                              SessionListener& listener);

/// Why a device did not answer its version request, for --verbose: "Error:
/// no answer to the version request (no answer within a second)"; with
/// nameIt, "request from port P" (or from its path where it has no port).
std::string unansweredVersionReason(const HidDevice& device, TransactionStatus status, bool nameIt);
