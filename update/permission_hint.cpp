#include "update/permission_hint.h"

#include <string>

#include "app/message.h"
#include "hid/hid_platform.h"

bool printHidPermissionHint(bool startOnNewLine) {
  const std::vector<std::string>& nodes = hidPermissionProblems();
  if (nodes.empty()) return false;
  std::string names;
  for (const std::string& node : nodes) {
    if (!names.empty()) names += ", ";
    names += node;
  }
  message("%sPermission denied opening %s: %s\n", startOnNewLine ? "\n" : "", names.c_str(),
          hidPlatform().permissionAdvice());
  return true;
}
