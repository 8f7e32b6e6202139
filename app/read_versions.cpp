#include "app/read_versions.h"

#include "app/message.h"
#include "app/permission_hint.h"
#include "hid/hid_manager.h"
#include "hid/hid_platform.h"
#include "update/commands.h"

bool readDeviceVersions() {
  clearHidPermissionProblems();
  bool answered = false;
  bool listEmpty = false;
  {
    CHidManager manager;
    manager.refreshDevices();
    // Zeroed once: a device whose answer lacks the marker prints the text
    // the previous device left behind, as the buffers are shared.
    char model[64] = {};
    char version[64] = {};
    if (manager.deviceCount() == 0) {
      message("No specified VID/PID HID device detected!");
      listEmpty = true;
    } else {
      for (HidDevice* device = manager.firstDevice(); device != nullptr;
           device = manager.nextDevice()) {
        device->protocolMask = 0xAA;
        if (readFirmwareVersion(device, model, version) != 0) continue;
        message("Deveice Firmware Version: %s\n", version);
        answered = true;
      }
    }
  }
  printHidPermissionHint(listEmpty);
  return answered;
}
