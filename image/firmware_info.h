// What the loaders report about a firmware file to the update session.
#pragma once

#include <cstdint>
#include <string>

struct FirmwareInfo {
  std::string model;    // model the firmware is for; selects the device
  std::string version;  // firmware version text
  uint8_t protocolMask = 0xAA;
  uint16_t word1 = 0;
  uint16_t word2 = 0;
  // Filled by the update's load step, not by the readers:
  std::string sha256;  // of the file as given, 64 hex digits; empty when not read
  std::string keyId;   // the trusted key that signed it; empty when not checked
};
