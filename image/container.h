// Firmware container: a nibble-swapped file with a tagged header (format
// versions 1 and 2) followed by the payload, which is sent as stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct ContainerHeader {
  uint8_t formatVersion = 0;  // 0 when the magic does not match
  std::string model;
  std::string version;
  uint8_t protocolMask = 0xAA;  // version 2 only
  uint16_t word1 = 0;           // version 2 only
  uint16_t word2 = 0;
  uint32_t payloadCrc = 0;  // CRC of the payload in stored form
  uint32_t checkWord = 0;
  uint32_t payloadLength = 0;
  uint32_t headerLength = 0;  // offset just behind the header-CRC value
};

/// Walk the tag list of a version-1 / version-2 file held whole in `data`
/// (stored form). They swap the buffer to plain form, read the tags, check the
/// header CRC and swap back; true when the header is sound and header plus
/// payload fill the file exactly. After a failed check the buffer may stay plain.
bool parseV1FileHeader(uint8_t* data, uint32_t length, ContainerHeader& header);
/// Nothing here prints: a caller that traces the version-2 parse (the word
/// "parseV2FileHeader") knows it ran from header.formatVersion == 2.
bool parseV2FileHeader(uint8_t* data, uint32_t length, ContainerHeader& header);

/// Parses a whole container held in `data` (modified in place, restored when
/// the header is accepted). Once the header is accepted, `imageData` receives a
/// new buffer with the stored payload (releasing any buffer held there) and
/// `imageLength` its length, before the payload CRC is compared.
bool parseContainerBuffer(uint8_t* data, uint32_t length, ContainerHeader& header,
                          uint8_t*& imageData, uint32_t& imageLength);

/// Reads the file whole and parses it as above; false for a file that cannot
/// be read (*fileError, when given, then receives the errno value of why) or
/// is 4 GiB or longer.
bool parseContainer(std::string path, ContainerHeader& header, uint8_t*& imageData,
                    uint32_t& imageLength, int* fileError = nullptr);
