// The record of the command line's update: what the command line configures
// (the firmware path and the device filter), what the loader leaves (the
// image), and where the update session stands (its cursor). The command line
// keeps exactly one, in the entry point; the code below app/ receives it, or
// the part it needs, by reference.
#pragma once

#include <string>

#include "hid/device_filter.h"
#include "image/firmware_image.h"
#include "update/update_session.h"

struct UpdateContext : DeviceFilter, FirmwareImage, SessionCursor {
  /// The path given with -f, unchanged.
  std::string firmwarePath;
  /// --verbose: a failure that has no message of its own is explained.
  bool verbose = false;
  /// --skip-if-current, --no-downgrade.
  VersionPolicy policy;
  /// The trusted keys, and the version --file-version states.
  ImageCheck imageCheck;
};
