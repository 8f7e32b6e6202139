// The bootloader command set: codes, fixed response offsets, and the version
// request, which alone may need a second input report.
#pragma once

#include <cstdint>

#include "hid/hid_device.h"
#include "hid/transaction.h"

enum Command : uint8_t {
  CmdReadVersion = 0x60,
  CmdGetInfo = 0x61,
  CmdSetProtocol = 0x62,
  CmdStartUpdate = 0x63,
  CmdWriteData = 0x64,
  CmdVerify = 0x65,
  CmdFinish = 0x66,
  CmdEnterBootloader = 0x67,
};

/// Offsets of the command-specific fields in a 65-byte response buffer.
constexpr uint32_t kVersionModelOffset = 10;  ///< CmdReadVersion: 10 bytes of model text
constexpr uint32_t kVersionModelLength = 10;
constexpr uint32_t kVersionTextOffset = 22;  ///< CmdReadVersion: 20 bytes of version text
constexpr uint32_t kVersionTextLength = 20;
constexpr uint32_t kInfoProtocolVersionOffset = 10;  ///< CmdGetInfo: 16-bit little-endian
constexpr uint32_t kInfoCapabilityMaskOffset = 12;   ///< CmdGetInfo
/// CmdGetInfo: counts only when the length byte is above 9.
constexpr uint32_t kInfoApplicationFlagOffset = 13;
/// A command's own status byte; CmdSetProtocol's result.
constexpr uint32_t kResponseStatusOffset = 9;
constexpr uint32_t kSetProtocolResultOffset = kResponseStatusOffset;
constexpr uint32_t kVerifyResultOffset = 10;  ///< CmdVerify's result

/// Result bytes: success, and (on the device's side) a command the device
/// does not take in its current mode.
constexpr uint8_t kCommandSucceeded = 0x00;
constexpr uint8_t kCommandRefused = 0xFF;

/// Wait for the continuation report of a long version response.
constexpr uint32_t kContinuationWaitMs = 500;

/// True when response byte 6 is the marker 0xA3 and byte 8 echoes command.
bool isWellFormedResponse(const uint8_t* response, Command command);

/// Builds the 9-byte CmdVerify payload: 0x65, imageCrc, checkWord (both
/// little-endian). Returns the length, 9.
uint8_t buildVerifyPayload(uint32_t imageCrc, uint32_t checkWord, uint8_t* payload);

/// Asks device for its model and firmware version. model (>= 11 bytes) and
/// version (>= 21 bytes) receive zero-terminated text of at most 10 and 20
/// characters, and are written only when the response carries the marker and
/// the echo. Returns the status of the exchange (0, 2 or 3); 0 also when the
/// strings were left alone. A continuation report (length byte > 25) is read
/// within 500 ms; when it does not come the version tail reads as zeros.
TransactionStatus readFirmwareVersion(HidDevice* device, char* model, char* version);
