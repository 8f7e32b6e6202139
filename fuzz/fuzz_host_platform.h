// A HID platform whose every answer comes from the fuzz input: enumeration,
// identities, open errors, transfer results, response bytes, devices that
// vanish and come back. It drives the host side (device manager, transaction,
// command set, update session, read-version mode) through whatever a broken
// or hostile device and system can do. When the input runs out, every call
// fails or times out, so a run always ends.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "protocol/frame_format.h"
#include "hid/hid_platform.h"

namespace fuzzhost {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t word() { return static_cast<uint16_t>(byte() | byte() << 8); }
  bool empty() const { return at_ >= size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

constexpr uint16_t kAppVid = 0xABCD, kAppPid = 0x1234, kBootVid = 0xABCD, kBootPid = 0x1000;

class Platform;

class Connection : public HidConnection {
 public:
  Connection(Platform* platform) : platform_(platform) {}
  bool readAttributes(uint16_t* vendorId, uint16_t* productId) override;
  bool readCaps(uint16_t* usagePage, uint16_t* usage) override;
  void flushInput() override {}
  HidWaitResult writeReport(const uint8_t* report, uint32_t timeoutMs) override;
  HidWaitResult readReport(uint8_t* report, uint32_t timeoutMs, uint32_t* immediateCount) override;
  void cancelIo() override {}

 private:
  Platform* platform_;
};

class Platform : public HidPlatform {
 public:
  explicit Platform(Input& input) : input_(input) {}

  bool enumerateInterfaces(std::vector<std::string>* paths) override {
    const uint8_t b = input_.byte();
    if (b == 0xFF) return false;
    paths->clear();
    // A few paths, some differing only in case, some coming back.
    static const char* const kPaths[] = {"fz/a", "fz/b", "FZ/A", "fz/c", "fz/d"};
    for (int i = 0; i < (b & 7) && i < 5; ++i) paths->push_back(kPaths[(b + i) % 5]);
    return true;
  }
  bool isPresent(const std::string&) override { return (input_.byte() & 3) != 0; }
  std::unique_ptr<HidConnection> open(const std::string&, HidOpenPurpose, HidOpenError* error,
                                      std::string*) override {
    const uint8_t b = input_.byte();
    if (b % 5 != 0) {
      *error = kHidOpenOk;
      return std::make_unique<Connection>(this);
    }
    *error = static_cast<HidOpenError>(1 + b % 3);
    return nullptr;
  }
  bool describe(const std::string& path, HidInterfaceInfo* info) override {
    if ((input_.byte() & 1) == 0) return false;
    info->path = path;
    info->node = path;
    uint16_t vendorId = 0, productId = 0;
    pickIds(&vendorId, &productId);
    info->vendorId = vendorId;
    info->productId = productId;
    info->usagePage = kTavrinUsagePage;
    info->usage = kTavrinUsage;
    return true;
  }
  const char* permissionAdvice() const override { return "fuzz"; }
  int64_t monotonicMilliseconds() override { return now_; }
  void sleepMilliseconds(uint32_t ms) override { now_ += ms; }

  void pickIds(uint16_t* vendorId, uint16_t* productId) {
    switch (input_.byte() & 3) {
      case 0:
        *vendorId = kAppVid, *productId = kAppPid;
        break;
      case 1:
        *vendorId = kBootVid, *productId = kBootPid;
        break;
      case 2:
        *vendorId = kAppVid, *productId = 0;
        break;
      default:
        *vendorId = input_.word(), *productId = input_.word();
        break;
    }
  }

  Input& input() { return input_; }
  void pass(int64_t ms) { now_ += ms; }
  uint8_t lastCommand = 0;

 private:
  Input& input_;
  int64_t now_ = 0;
};

inline bool Connection::readAttributes(uint16_t* vendorId, uint16_t* productId) {
  if (platform_->input().byte() == 0xEE) return false;
  platform_->pickIds(vendorId, productId);
  return true;
}

inline bool Connection::readCaps(uint16_t* usagePage, uint16_t* usage) {
  const uint8_t b = platform_->input().byte();
  if (b == 0xEE) return false;
  *usagePage = (b & 7) != 0 ? kTavrinUsagePage : 0x01;
  *usage = (b & 7) != 1 ? kTavrinUsage : 0x06;
  return true;
}

inline HidWaitResult Connection::writeReport(const uint8_t* report, uint32_t timeoutMs) {
  // Whatever happens, the host only ever sends well-framed requests.
  if (report[kOffsetReportId] != kRequestReportId ||
      static_cast<uint8_t>(report[kOffsetLength] + report[kOffsetLengthComplement]) != 0xFF ||
      report[kOffsetSequence] == 0 || report[kOffsetLength] < 2 ||
      report[kOffsetLength] > kMaxPayloadLength + 2)
    std::abort();
  platform_->lastCommand = report[kOffsetPayload];
  const uint8_t b = platform_->input().byte();
  if (b % 7 == 1) {
    platform_->pass(timeoutMs);
    return kHidWaitTimeout;
  }
  if (b % 7 == 2) return kHidWaitFailed;
  return kHidWaitDone;
}

inline HidWaitResult Connection::readReport(uint8_t* report, uint32_t timeoutMs,
                                            uint32_t* immediateCount) {
  Input& input = platform_->input();
  *immediateCount = 0;
  const uint8_t b = input.byte();
  if (input.empty() || b % 9 == 1) {
    platform_->pass(timeoutMs);
    return kHidWaitTimeout;
  }
  if (b % 9 == 2) return kHidWaitFailed;
  // Mostly answers that look right, so the session gets deep; the rest raw.
  uint8_t answer[kReportSize] = {};
  for (uint8_t& byte : answer) byte = input.byte();
  answer[0] = report[0];
  if (b & 0x10) {
    answer[kOffsetMarker] = kResponseMarker;
    answer[kOffsetEcho] = platform_->lastCommand;
  }
  std::memcpy(report, answer, kReportSize);
  *immediateCount = (b & 0x20) ? kReportSize : 0;
  return kHidWaitDone;
}

}  // namespace fuzzhost
