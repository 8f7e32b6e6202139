// The bootloader command set on the host side: response checks, the verify
// payload, and the version request, which alone may need a second input report.
#pragma once

#include <cstdint>

#include "hid/hid_device.h"
#include "hid/transaction.h"
#include "protocol/command_codes.h"

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
TransactionStatus readFirmwareVersion(TransactionLink& link, HidDevice* device, char* model,
                                      char* version);
