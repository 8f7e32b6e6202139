#include "update/version_policy.h"

#include <gtest/gtest.h>

namespace {

const char* orderName(VersionOrder order) {
  switch (order) {
    case VersionOrder::kOlder:
      return "<";
    case VersionOrder::kEqual:
      return "==";
    case VersionOrder::kNewer:
      return ">";
    case VersionOrder::kIncomparable:
      return "?";
  }
  return "";
}

TEST(VersionPolicyTest, OrdersVersionTexts) {
  struct Case {
    const char* a;
    const char* b;
    const char* order;
  } cases[] = {
      // Fields are numbers, not text; missing fields are 0.
      {"1.9", "1.10", "<"},
      {"1.10", "1.9", ">"},
      {"2.0", "2.0.0", "=="},
      {"2", "2.0.0.0", "=="},
      {"2.0.1", "2.0", ">"},
      {"1.02", "1.2", "=="},
      {"0.0.1", "0.0.0", ">"},
      {"99999999999999999999.1", "99999999999999999998.9", ">"},
      {"10", "9", ">"},
      // A leading v and surrounding white space are ignored.
      {"V1.2.3", "1.2.3", "=="},
      {"v1.2", "V1.3", "<"},
      {" 1.2\t", "1.2", "=="},
      // A pre-release orders before its release, after the one before it.
      {"1.2-rc1", "1.2", "<"},
      {"1.2", "1.2.0-rc1", ">"},
      {"1.2.1-rc1", "1.2", ">"},
      {"0.0.1-sim", "1.0.3", "<"},
      {"1.2-rc2", "1.2-rc10", "<"},
      {"1.2-RC.3", "1.2-rc3", "=="},
      {"1.2-rc", "1.2-rc1", "<"},
      {"1.2-3", "1.2-4", "<"},
      {"1.2-beta1", "1.2-rc1", "?"},
      {"1.2-sim", "1.2-rc1", "?"},
      // Texts of no known form are equal only to themselves.
      {"build 7", "build 7", "=="},
      {"build 7", "build 8", "?"},
      {"2.x", "2.0", "?"},
      {"1..2", "1.2", "?"},
      {"1.2.", "1.2", "?"},
      {"1.2rc1", "1.2", "?"},
      {"1.2-", "1.2", "?"},
      {"1.2-rc1-x", "1.2-rc1-y", "?"},
      {"v", "v", "=="},
      {"", "", "?"},
      {"", "1.0", "?"},
      {"  ", "1.0", "?"},
  };
  for (const Case& c : cases)
    EXPECT_STREQ(orderName(compareVersions(c.a, c.b)), c.order) << c.a << " vs " << c.b;
}

TEST(VersionPolicyTest, DecidesWhatAnUpdateWouldDo) {
  struct Case {
    DeviceVersion device;
    const char* fileModel;
    const char* fileVersion;
    PolicyVerdict verdict;
  } cases[] = {
      {{"QS-100", "1.2", false}, "QS-100", "1.3", PolicyVerdict::kUpdate},
      {{"QS-100", "1.2", false}, "QS-100", "1.2.0", PolicyVerdict::kUpToDate},
      {{"QS-100", "1.2", false}, "QS-100", "1.1", PolicyVerdict::kDowngrade},
      {{"QS-100", "1.2", false}, "QS-100", "", PolicyVerdict::kIncomparable},
      {{"QS-100", "nightly", false}, "QS-100", "1.2", PolicyVerdict::kIncomparable},
      {{"QS-200", "1.2", false}, "QS-100", "1.3", PolicyVerdict::kWrongModel},
      // In its bootloader the version is the bootloader's: always updated.
      {{"QS-100", "9.9", true}, "QS-100", "1.0", PolicyVerdict::kUpdate},
      {{"QS-100", "1.0", true}, "QS-100", "1.0", PolicyVerdict::kUpdate},
      {{"QS-200", "1.0", true}, "QS-100", "1.0", PolicyVerdict::kWrongModel},
  };
  for (const Case& c : cases)
    EXPECT_STREQ(policyVerdictName(decideVersionPolicy(c.device, c.fileModel, c.fileVersion)),
                 policyVerdictName(c.verdict))
        << c.device.model << " " << c.device.version << " / " << c.fileVersion;
}

}  // namespace
