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
};
