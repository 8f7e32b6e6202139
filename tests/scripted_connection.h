// Test helper: a connection that plays back prepared input reports.
#pragma once

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "protocol/frame_format.h"
#include "hid/hid_platform.h"

class ScriptedConnection : public HidConnection {
 public:
  struct Step {
    HidWaitResult result;
    Report report;
  };
  std::deque<Step> reads;
  HidWaitResult writeResult = kHidWaitDone;
  std::vector<Report> written;
  std::vector<uint32_t> readTimeouts;
  int flushes = 0;
  int cancels = 0;
  std::string error;  ///< what lastError() says

  void answer(const Report& report) { reads.push_back({kHidWaitDone, report}); }
  void fail(HidWaitResult result) { reads.push_back({result, Report{}}); }

  bool readAttributes(uint16_t* vendorId, uint16_t* productId) override {
    *vendorId = 0;
    *productId = 0;
    return true;
  }
  bool readCaps(uint16_t* usagePage, uint16_t* usage) override {
    *usagePage = 0x8C;
    *usage = 0x01;
    return true;
  }
  void flushInput() override { ++flushes; }
  HidWaitResult writeReport(const uint8_t* report, uint32_t) override {
    Report copy{};
    std::memcpy(copy.data(), report, kReportSize);
    written.push_back(copy);
    return writeResult;
  }
  HidWaitResult readReport(uint8_t* report, uint32_t timeoutMs, uint32_t* count) override {
    readTimeouts.push_back(timeoutMs);
    *count = 0;
    if (reads.empty()) return kHidWaitTimeout;
    Step step = reads.front();
    reads.pop_front();
    if (step.result == kHidWaitDone) std::memcpy(report, step.report.data(), kReportSize);
    return step.result;
  }
  void cancelIo() override { ++cancels; }
  std::string lastError() const override { return error; }
};
