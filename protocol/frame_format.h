// Sizes and fixed bytes of the two HID reports that carry every command.
// Shared by the host side (transaction, commands) and the device model.
#pragma once

#include <array>
#include <cstdint>

/// One report on the wire, report id included.
constexpr uint32_t kReportSize = 33;
/// The buffers that hold a request or a response (a response may continue
/// into a second report, at offset 33).
constexpr uint32_t kFrameBufferSize = 65;
/// Report id of the output report (host to device).
constexpr uint8_t kRequestReportId = 0xB2;
/// Report id of the input report (device to host).
constexpr uint8_t kResponseReportId = 0xB1;
/// Byte 6 of every bootloader response.
constexpr uint8_t kResponseMarker = 0xA3;
/// Frame byte 2 is this value plus the caller's flag.
constexpr uint8_t kFlagBase = 0x55;
/// Largest payload that fits one report with its checksum.
constexpr uint8_t kMaxPayloadLength = 25;
/// Length byte above which a response continues in a second report.
constexpr uint8_t kSingleReportMaxLength = 25;

/// Offsets inside a request or response frame.
constexpr uint32_t kOffsetReportId = 0;
constexpr uint32_t kOffsetProtocolMask = 1;
constexpr uint32_t kOffsetFlag = 2;
constexpr uint32_t kOffsetLength = 3;
constexpr uint32_t kOffsetLengthComplement = 4;
constexpr uint32_t kOffsetSequence = 5;
constexpr uint32_t kOffsetPayload = 6;
constexpr uint32_t kOffsetMarker = 6;
constexpr uint32_t kOffsetEcho = 8;

using Report = std::array<uint8_t, kReportSize>;
