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

std::string ruleLine(const char* what, uint16_t vendorId, uint16_t productId,
                     const std::string& access) {
  // The HID device's name is BUS:VENDOR:PRODUCT.INSTANCE in upper-case hex,
  // for USB, Bluetooth and uhid devices alike.
  char line[160];
  std::snprintf(line, sizeof line,
                "# %s %04x:%04x\nSUBSYSTEM==\"hidraw\", KERNELS==\"*:%04X:%04X.*\", ", what,
                vendorId, productId, vendorId, productId);
  return line + access + "\n";
}

}  // namespace

int printUdevRule(const DeviceIds& ids, const std::string& group) {
  std::string rule;
  std::string access = "TAG+=\"uaccess\"";
  if (group.empty()) {
    rule =
        "# tavrin: the logged-in user may update these devices. Save as\n"
        "# /etc/udev/rules.d/70-tavrin-local.rules, run\n"
        "# udevadm control --reload-rules, and replug the device.\n";
  } else {
    // uaccess follows a login session; a service has none.
    rule = "# tavrin: members of the group " + group +
           " may update these devices, with no one logged\n"
           "# in (a station run by a service account in that group). Save as\n"
           "# /etc/udev/rules.d/70-tavrin-local.rules, run\n"
           "# udevadm control --reload-rules, and replug the device.\n";
    access = "GROUP=\"" + group + "\", MODE=\"0660\"";
  }
  rule += ruleLine("application firmware", ids.appVid, ids.appPids[0], access);
  if (ids.bootVid != ids.appVid || ids.bootPid != ids.appPids[0])
    rule += ruleLine("bootloader", ids.bootVid, ids.bootPid, access);
  return outputText(rule.c_str()) ? kExitSuccess : kExitFailure;
}
