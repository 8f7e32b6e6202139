// The bootloader command set as it travels: the command codes and the fixed
// offsets of their response fields. Shared by the host side (update/) and the
// simulated device (sim/).
#pragma once

#include <cstdint>

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
