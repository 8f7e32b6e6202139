// Program-wide state: configuration from the command line, the loaded image
// and the cursor of the update session. One thread reads and writes it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/files.h"

struct UpdateContext {
  // Configuration (command line).
  std::string firmwarePath;
  uint16_t appVid = 0;
  uint16_t appPids[3] = {0, 0, 0};
  uint16_t bootVid = 0;
  uint16_t bootPid = 0;
  // Only devices on this port, or with this serial, take part in the device
  // selection and -r (--port, --serial; empty: any).
  std::string selectPort;
  std::string selectSerial;
  // --verbose: a failure that has no message of its own is explained.
  bool verbose = false;

  // Image (loader). imageData is owned: allocate with new[], release with
  // releaseImage().
  uint8_t* imageData = nullptr;
  // When set, imageData is this read-only view of the file rather than a
  // buffer of its own (--inspect of a raw image).
  std::unique_ptr<FileView> imageView;
  uint32_t imageLength = 0;
  uint32_t imageCrc = 0;
  uint32_t checkWord = 0;
  uint8_t protocolMask = 0;
  uint8_t protocolSelection = 0;

  // Session cursor (update session).
  uint32_t sessionState = 0;
  bool sessionActive = false;
  uint32_t writeOffset = 0;
  uint8_t chunkLength = 0;
  uint8_t retryCount = 0;

  /// Frees the image buffer, if any, and nulls imageData.
  void releaseImage();
};

/// The one instance.
extern UpdateContext gContext;

/// Sequence number of the next request frame: 1 at start, 255 is followed by 1.
extern uint8_t frameSequence;
