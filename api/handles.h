// What stands behind each opaque type of the C interface, and the guard that
// keeps C++ exceptions from crossing it.
#pragma once

#include <tavrin/tavrin.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "hid/device_filter.h"
#include "hid/hid_platform.h"
#include "sim/device_model.h"
#include "sim/simulated_platform.h"

struct tavrin_platform {
  std::unique_ptr<HidPlatform> native;
  std::unique_ptr<SimulatedPlatform> simulated;
  HidPlatform& hid() { return simulated ? static_cast<HidPlatform&>(*simulated) : *native; }
};

struct tavrin_sim_device {
  DeviceModelConfig config;
  std::string port;
  std::string serial;
};

/// Runs body, whose result is returned; an exception becomes onThrow.
template <typename Result, typename Body>
Result guarded(Result onThrow, Body body) noexcept {
  try {
    return body();
  } catch (...) {
    return onThrow;
  }
}

/// The ids of the C interface as a filter (no port, no serial); all 0 for null.
DeviceFilter filterOf(const tavrin_ids* ids);

/// The platform to use: the caller's, or a native one made into *owned.
/// Null when none can be had.
HidPlatform* platformFor(tavrin_platform* platform, std::unique_ptr<HidPlatform>* owned);

/// A string kept beside the record whose const char* fields point into it.
/// Records are never moved once their fields are set.
class TextStore {
 public:
  const char* keep(std::string text) {
    texts_.push_back(std::make_unique<std::string>(std::move(text)));
    return texts_.back()->c_str();
  }

 private:
  std::vector<std::unique_ptr<std::string>> texts_;
};
