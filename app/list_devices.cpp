#include "app/list_devices.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/message.h"
#include "app/run_report.h"
#include "common/printable_text.h"
#include "hid/hid_device.h"
#include "hid/hid_platform.h"
#include "hid/interface_list.h"
#include "update/permission_hint.h"

namespace {

// A value in key=value form: escaped, a blank included, "-" when empty.
std::string listedValue(const std::string& text) {
  if (text.empty()) return "-";
  std::string out;
  for (char c : printableText(text)) out += c == ' ' ? std::string("\\x20") : std::string(1, c);
  return out;
}

}  // namespace

int listDevices(const DeviceIds& ids, HidPlatform& platform, RunReport& report) {
  std::vector<std::string> denied;
  int printed = 0;
  for (const ListedInterface& entry : listInterfacesOfKind(ids, platform)) {
    const HidInterfaceInfo& info = entry.info;
    const char* mode = deviceModeName(entry.mode);
    // The device names itself: its text must not reach the terminal raw.
    std::string product =
        info.product.empty() ? "" : " \"" + printableText(info.product) + "\"";
    // The listing is data for scripts: standard output. Problems go to standard error.
    // Where it is plugged in and its serial tell devices of one kind apart
    // (--port, --serial); "-" when the system does not say.
    const std::string port = listedValue(info.port);
    const std::string serial = listedValue(info.serial);
    report.interfaceListed(info, mode);
    if (!report.json())
      output("%s %04x:%04x%s %s port=%s serial=%s\n", info.node.c_str(), info.vendorId,
             info.productId, product.c_str(), mode, port.c_str(), serial.c_str());
    ++printed;
    // Listing needs no open; the check was made anyway so the operator
    // learns now that an update would be refused.
    if (entry.denied && std::find(denied.begin(), denied.end(), info.node) == denied.end())
      denied.push_back(info.node);
  }
  if (printed == 0) {
    message("No HID device of this kind found\n");
    return 1;
  }
  ConsoleListener console;
  printHidPermissionHint(console, denied, platform.permissionAdvice(), false);
  // A full disk or a closed pipe must not pass for a listing delivered, in
  // either form.
  if (!outputDelivered()) {
    sayOutputLost("Error: cannot write the listing to standard output\n");
    return 1;
  }
  return 0;
}
