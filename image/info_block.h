// The info block a raw or Intel HEX image may carry: the magic "ABabQXFW"
// followed by tagged records naming model, version, protocol mask and two words.
#pragma once

#include <cstdint>

#include "image/firmware_info.h"

/// Scans the first `length` bytes of `data` for the first block and copies what
/// it names into `info`; info.protocolMask is 0xAA unless a record sets it.
/// The record walk never reads at or past `bufferSize` (>= length is expected;
/// a HEX image's buffer extends beyond its reported length) and stops, keeping
/// what it has set, where its next read would leave the buffer.
void scanInfoBlock(FirmwareInfo& info, const uint8_t* data, uint32_t length, uint32_t bufferSize);
