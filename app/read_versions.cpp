#include "app/read_versions.h"

#include "hid/hid_manager.h"
#include "update/device_survey.h"
#include "update/permission_hint.h"
#include "update/session_listener.h"

bool readDeviceVersions(const DeviceFilter& filter, HidPlatform& platform,
                        SessionListener& listener, bool verbose) {
  CHidManager manager(platform, filter);
  if (!listSurveyedDevices(manager, listener)) return false;
  TransactionLink link;
  bool answered = false;
  for (HidDevice* device = manager.firstDevice(); device != nullptr;
       device = manager.nextDevice()) {
    const TransactionStatus status = askDeviceVersion(link, *device, 0xAA, listener).status;
    answered = status == kTransactionOk || answered;
    if (status != kTransactionOk && verbose)
      listener.message((unansweredVersionReason(*device, status, true) + "\n").c_str());
  }
  printHidPermissionHint(listener, manager.permissionProblems(), platform.permissionAdvice(), false);
  return answered;
}
