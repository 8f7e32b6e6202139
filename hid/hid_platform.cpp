#include "hid/hid_platform.h"

#include <algorithm>

namespace {

HidPlatform* gCurrentPlatform = nullptr;
std::vector<std::string> gPermissionProblems;

}  // namespace

HidPlatform& hidPlatform() {
  return gCurrentPlatform != nullptr ? *gCurrentPlatform : nativeHidPlatform();
}

void setHidPlatform(HidPlatform* p) {
  gCurrentPlatform = p;
}

const std::vector<std::string>& hidPermissionProblems() {
  return gPermissionProblems;
}

void noteHidPermissionProblem(const std::string& node) {
  if (std::find(gPermissionProblems.begin(), gPermissionProblems.end(), node) ==
      gPermissionProblems.end())
    gPermissionProblems.push_back(node);
}

void clearHidPermissionProblems() {
  gPermissionProblems.clear();
}
