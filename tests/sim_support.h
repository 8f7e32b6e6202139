// Test helpers for the simulated devices.
#pragma once

#include <string>

#include "hid/device_filter.h"
#include "sim/device_model.h"

/// A device with the ids scannerFilter() configures: application abcd:1234,
/// bootloader abcd:1000.
inline DeviceModelConfig scannerConfig(const std::string& model = "QS-100",
                                       const std::string& version = "V1.2.3",
                                       DeviceMode startMode = kModeApplication) {
  DeviceModelConfig config;
  config.appVid = 0xABCD;
  config.appPid = 0x1234;
  config.bootVid = 0xABCD;
  config.bootPid = 0x1000;
  config.model = model;
  config.version = version;
  config.startMode = startMode;
  return config;
}

/// The ids of scannerConfig(), and optionally one port.
inline DeviceFilter scannerFilter(const std::string& port = "") {
  DeviceFilter filter;
  filter.appVid = 0xABCD;
  filter.appPids[0] = 0x1234;
  filter.bootVid = 0xABCD;
  filter.bootPid = 0x1000;
  filter.selectPort = port;
  return filter;
}
