#include "app/read_versions.h"

#include <cstring>

#include "app/message.h"
#include "app/run_report.h"
#include "hid/hid_manager.h"
#include "hid/hid_platform.h"
#include "update/commands.h"
#include "update/permission_hint.h"

bool readDeviceVersions() {
  clearHidPermissionProblems();
  bool answered = false;
  bool listEmpty = false;
  {
    CHidManager manager;
    manager.refreshDevices();
    char model[64] = {};
    char version[64] = {};
    uint32_t selectable = 0;
    for (HidDevice* device = manager.firstDevice(); device != nullptr;
         device = manager.nextDevice())
      if (isSelectedDevice(*device)) ++selectable;
    if (selectable == 0) {
      message("No specified VID/PID HID device detected!");
      listEmpty = true;
    } else {
      for (HidDevice* device = manager.firstDevice(); device != nullptr;
           device = manager.nextDevice()) {
        if (!isSelectedDevice(*device)) continue;
        device->protocolMask = 0xAA;
        // A device whose answer lacks the marker leaves the buffers alone; it
        // must not be shown with the version of the device before it.
        std::memset(model, 0, sizeof model);
        std::memset(version, 0, sizeof version);
        const TransactionStatus status = readFirmwareVersion(device, model, version);
        runReport().versionAnswered(*device, status, model, version);
        if (status != kTransactionOk) continue;
        message("Deveice Firmware Version: %s\n", version);
        answered = true;
      }
    }
  }
  printHidPermissionHint(listEmpty);
  return answered;
}
