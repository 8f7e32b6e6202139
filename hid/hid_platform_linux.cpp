#include "hid/hid_platform.h"

// Placeholder until the hidraw backend lands: no interfaces.
namespace {
class NullPlatform : public HidPlatform {
 public:
  bool enumerateInterfaces(std::vector<std::string>* paths) override {
    paths->clear();
    return true;
  }
  bool isPresent(const std::string&) override { return false; }
  std::unique_ptr<HidConnection> open(const std::string&, bool, HidOpenError* error) override {
    *error = kHidOpenNotFound;
    return nullptr;
  }
  bool describe(const std::string&, HidInterfaceInfo*) override { return false; }
  int64_t monotonicMilliseconds() override { return 0; }
  void sleepMilliseconds(uint32_t) override {}
};
}  // namespace

HidPlatform& nativeHidPlatform() {
  static NullPlatform platform;
  return platform;
}
