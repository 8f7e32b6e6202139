// The bytes an update sends and the words and protocol bytes that go with
// them, as the image loader leaves them.
#pragma once

#include <cstdint>
#include <memory>

#include "common/files.h"

struct FirmwareImage {
  FirmwareImage() = default;
  ~FirmwareImage() { releaseImage(); }
  FirmwareImage(const FirmwareImage&) = delete;
  FirmwareImage& operator=(const FirmwareImage&) = delete;

  /// The image. Owned: allocated with new[] and freed by releaseImage(),
  /// unless imageView is set.
  uint8_t* imageData = nullptr;
  /// When set, imageData is this read-only view of the file rather than a
  /// buffer of its own (checking a file, never an update); shared with
  /// whoever else reads the file through it.
  std::shared_ptr<const FileView> imageView;
  uint32_t imageLength = 0;
  /// The two words of the verify command.
  uint32_t imageCrc = 0;
  uint32_t checkWord = 0;
  /// Byte 1 of every request frame of an update.
  uint8_t protocolMask = 0;
  /// The protocol bits the file asks for: 1 for a container, else 0.
  uint8_t protocolSelection = 0;

  /// Frees the image buffer, if any, and nulls imageData.
  void releaseImage() {
    if (imageView)
      imageView.reset();
    else
      delete[] imageData;
    imageData = nullptr;
  }
};
