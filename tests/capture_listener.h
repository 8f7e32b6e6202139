// Test helper: a session listener that keeps what it was told.
#pragma once

#include <string>
#include <vector>

#include "hid/hid_device.h"
#include "update/session_listener.h"
#include "update/update_result.h"

struct CaptureListener : SessionListener {
  std::string err;  ///< the messages, as the console would show them
  std::string out;  ///< the trace word
  std::vector<std::string> events;
  std::vector<uint32_t> offsets;  ///< written(): bytes written after each chunk
  UpdateResult result;

  void message(const char* text) override { err += text; }
  void traceWord(const char* word) override { out += word; }
  void deviceSelected(const HidDevice& device, const std::string&, const std::string&) override {
    events.push_back("selected " + device.port);
  }
  void stateChanged(uint32_t from, uint32_t to) override {
    events.push_back("state " + std::to_string(from) + "->" + std::to_string(to));
  }
  void written(uint32_t offset, uint32_t) override { offsets.push_back(offset); }
  void finished(const UpdateResult& r) override {
    result = r;
    events.push_back(std::string("finished ") + updateOutcomeName(r.outcome));
  }
};

inline bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

inline bool startsWith(const std::string& text, const std::string& head) {
  return text.compare(0, head.size(), head) == 0;
}
