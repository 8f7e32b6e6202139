// One entry per parser, shared by the libFuzzer targets and the corpus replay
// test. Each copies the input into a buffer of exactly its length, so a read
// past the end is caught by the address sanitizer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "hid/report_descriptor.h"
#include "image/container.h"
#include "image/info_block.h"
#include "image/intel_hex.h"
#include "sim/device_model.h"

namespace fuzzentry {

inline std::unique_ptr<uint8_t[]> exactCopy(const uint8_t* data, size_t size) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[size == 0 ? 1 : size]);
  if (size > 0) std::memcpy(copy.get(), data, size);
  return copy;
}

inline void intelHex(const uint8_t* data, size_t size) {
  auto text = exactCopy(data, size);
  uint8_t* image = nullptr;
  uint32_t length = 0;
  int result = loadHexImageFromText(reinterpret_cast<const char*>(text.get()), size, image, length);
  if (result == kHexLoaded) {
    if (length > kHexImageSize) std::abort();
    FirmwareInfo info;
    scanInfoBlock(info, image, length, kHexImageSize);
  }
  delete[] image;
}

inline void container(const uint8_t* data, size_t size) {
  if (size > 0xFFFFFFFFu) return;
  auto file = exactCopy(data, size);
  setContainerTraceEnabled(false);
  ContainerHeader header;
  uint8_t* image = nullptr;
  uint32_t length = 0;
  bool ok = parseContainerBuffer(file.get(), static_cast<uint32_t>(size), header, image, length);
  if (ok && (header.headerLength + static_cast<uint64_t>(length) != size || image == nullptr))
    std::abort();
  delete[] image;
}

inline void infoBlock(const uint8_t* data, size_t size) {
  if (size > 0xFFFFFFFFu) return;
  auto image = exactCopy(data, size);
  FirmwareInfo info;
  auto length = static_cast<uint32_t>(size);
  scanInfoBlock(info, image.get(), length, length);
  // The search may also stop short of the buffer the walk may use.
  scanInfoBlock(info, image.get(), length / 2, length);
}

// A report descriptor as a device presents it to the host.
inline void reportDescriptor(const uint8_t* data, size_t size) {
  auto descriptor = exactCopy(data, size);
  std::vector<TopLevelCollection> collections;
  parseTopLevelCollections(descriptor.get(), size, &collections);
}

// Output reports as the host might send them: the device side must take any.
inline void deviceFrames(const uint8_t* data, size_t size) {
  DeviceModelConfig config;
  config.model = "FUZZ";
  config.version = "1.0";
  config.startMode = size > 0 && (data[0] & 1) ? kModeBootloader : kModeApplication;
  DeviceModel device(config);
  for (size_t at = 0; at < size; at += kReportSize) {
    const size_t length = size - at < kReportSize ? size - at : kReportSize;
    auto report = exactCopy(data + at, length);
    DeviceReply reply = device.receive(report.get(), length);
    if (reply.reports.size() > 2) std::abort();
  }
}

}  // namespace fuzzentry
