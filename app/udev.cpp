#include "app/udev.h"

#include <cstdio>

#include "app/exit_status.h"
#include "app/message.h"

int runUdevProbe(const std::string& path, HidPlatform& platform) {
  HidInterfaceInfo info;
  // Reads the report descriptor from sysfs; the node itself is not opened.
  if (platform.describe(path, &info) && info.usagePage == kTavrinUsagePage &&
      info.usage == kTavrinUsage)
    return output("TAVRIN_DEVICE=1\n") ? kExitSuccess : kExitFailure;
  return kExitSuccess;
}

namespace {

std::string ruleLine(const char* what, uint16_t vendorId, uint16_t productId) {
  // The HID device's name is BUS:VENDOR:PRODUCT.INSTANCE in upper-case hex,
  // for USB, Bluetooth and uhid devices alike.
  char line[160];
  std::snprintf(line, sizeof line,
                "# %s %04x:%04x\nSUBSYSTEM==\"hidraw\", KERNELS==\"*:%04X:%04X.*\", "
                "TAG+=\"uaccess\"\n",
                what, vendorId, productId, vendorId, productId);
  return line;
}

}  // namespace

int printUdevRule(const DeviceIds& ids) {
  std::string rule =
      "# tavrin: the logged-in user may update these devices. Save as\n"
      "# /etc/udev/rules.d/70-tavrin-local.rules, run\n"
      "# udevadm control --reload-rules, and replug the device.\n";
  rule += ruleLine("application firmware", ids.appVid, ids.appPids[0]);
  if (ids.bootVid != ids.appVid || ids.bootPid != ids.appPids[0])
    rule += ruleLine("bootloader", ids.bootVid, ids.bootPid);
  return outputText(rule.c_str()) ? kExitSuccess : kExitFailure;
}
