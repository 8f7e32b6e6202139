// One entry per parser, shared by the libFuzzer targets and the corpus replay
// test. Each copies the input into a buffer of exactly its length, so a read
// past the end is caught by the address sanitizer.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/read_versions.h"
#include "app/update_context.h"
#include "fuzz/fuzz_host_platform.h"
#include "hid/hid_platform_linux.h"
#include "hid/report_descriptor.h"
#include "image/container.h"
#include "image/info_block.h"
#include "image/intel_hex.h"
#include "image/signature.h"
#include "sim/device_model.h"
#include "update/update_session.h"

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

// A signature or key file as it comes from disk: both parsers, and each
// verification a parsed one allows, against a fixed key and signature (a
// text is never both).
inline void signature(const uint8_t* data, size_t size) {
  auto text = exactCopy(data, size);
  const char* chars = reinterpret_cast<const char*>(text.get());
  // The test key of tests/keys, and its signature of nothing.
  static const PublicKey fixedKey = [] {
    PublicKey key;
    const char pub[] =
        "untrusted comment: minisign public key 96CAD30F516FDC48\n"
        "RWRI3G9RD9PKlp+wlp/zAtezzEYUShMX7YEUQSC4UHP93oj7qnV/SOZ9\n";
    if (!parsePublicKey(pub, sizeof pub - 1, &key)) std::abort();
    return key;
  }();
  DetachedSignature parsedSignature;
  PublicKey parsedKey;
  const bool isSignature = parseSignature(chars, size, &parsedSignature);
  const bool isKey = parsePublicKey(chars, size, &parsedKey);
  if (isSignature && isKey) std::abort();
  if (isSignature) {
    verifySignature(parsedSignature, fixedKey, text.get(), size);
    if (parsedSignature.trustedComment.size() > size) std::abort();
  }
  if (isKey) {
    DetachedSignature empty;
    std::memcpy(empty.keyId, parsedKey.keyId, kKeyIdSize);
    verifySignature(empty, parsedKey, text.get(), size);
  }
}

// A report descriptor as a device presents it to the host.
inline void reportDescriptor(const uint8_t* data, size_t size) {
  auto descriptor = exactCopy(data, size);
  std::vector<TopLevelCollection> collections;
  parseTopLevelCollections(descriptor.get(), size, &collections);
}

// A HID device's uevent, whose name (and off USB, phys and uniq) the device
// or its creator writes: the fields split out lie within it.
inline void hidUevent(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const HidUevent fields = parseHidUevent(text);
  if (fields.name.size() + fields.phys.size() + fields.uniq.size() > size) std::abort();
  for (const std::string* field : {&fields.name, &fields.phys, &fields.uniq})
    if (!field->empty() && text.find(*field) == std::string::npos) std::abort();
  uint16_t bus = 0, vendorId = 0, productId = 0;
  parseHidDeviceName(text, &bus, &vendorId, &productId);
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

// The host side against a platform that answers from the input: the update
// session (or, by the first byte, the read-version mode) must end, keep its
// invariants and send only well-framed requests, whatever comes back.
inline void host(const uint8_t* data, size_t size) {
  static const std::string path = [] {
    const std::string name = "/tmp/tavrin-fuzz-host-" + std::to_string(::getpid()) + ".bin";
    // 40 bytes whose info block names the model "FZ" and the version
    // "1.2-rc3" (for the version policy): three chunks.
    const uint8_t image[40] = {'A', 'B', 'a', 'b', 'Q', 'X', 'F', 'W', 1,   4,   'F', 'Z',
                               2,   9,   '1', '.', '2', '-', 'r', 'c', '3', 0,   0};
    if (std::FILE* file = std::fopen(name.c_str(), "wb")) {
      std::fwrite(image, 1, sizeof image, file);
      std::fclose(file);
    }
    return name;
  }();
  fuzzhost::Input input(data, size);
  fuzzhost::Platform platform(input);
  UpdateContext context;
  context.firmwarePath = path;
  context.appVid = fuzzhost::kAppVid;
  context.appPids[0] = fuzzhost::kAppPid;
  context.bootVid = fuzzhost::kBootVid;
  context.bootPid = fuzzhost::kBootPid;
  // Sequence numbers go out in every request: never 0.
  struct Watch : SessionListener, ExchangeListener {
    void exchanged(const ExchangeRecord& record) override {
      if (record.request[kOffsetSequence] == 0 || record.send > 6) std::abort();
    }
  } watch;
  const uint8_t mode = input.byte();
  if (mode & 1) {
    readDeviceVersions(context, platform, watch);
  } else {
    UpdateSetup setup;
    setup.filter = context;
    setup.platform = &platform;
    setup.listener = &watch;
    setup.exchanges = &watch;
    // The version policy reads the device's version text.
    setup.policy.skipIfCurrent = (mode & 2) != 0;
    setup.policy.noDowngrade = (mode & 4) != 0;
    FirmwareInfo info;
    const UpdateResult result =
        runFileUpdate(context.firmwarePath, TextEncoding::kUtf8, context, info, context, setup);
    const bool finished = context.sessionState == StateFinish;
    if (finished != result.updated()) std::abort();
    // A policy's refusal or skip comes before the switch: never after it.
    if ((result.outcome == UpdateOutcome::kUpToDate ||
         result.outcome == UpdateOutcome::kDowngradeRefused) &&
        result.state != StateIdle)
      std::abort();
    if (!finished && (context.sessionState != StateIdle || context.imageData != nullptr))
      std::abort();
    if (context.writeOffset > context.imageLength || context.retryCount > 6) std::abort();
  }
}

}  // namespace fuzzentry
