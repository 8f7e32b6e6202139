// Whether a device needs the file it is offered: the order of two firmware
// version texts, and what an update of a device on one version with a file
// of another does under the operator's policy (--skip-if-current,
// --no-downgrade, --check).
//
// How two version texts are ordered:
//  - White space at either end is ignored, and so is one leading "v" or "V"
//    ("V1.2" is "1.2").
//  - The core is one or more decimal fields separated by dots, compared as
//    numbers field by field, of any length ("1.9" < "1.10"); missing fields
//    count as 0 ("2.0" == "2.0.0").
//  - A suffix after a dash marks a pre-release build: it orders before the
//    release of the same numbers ("1.2-rc1" < "1.2" < "1.2.1-rc1"). Two
//    suffixes of the same word are ordered by the number that ends them
//    ("1.2-rc2" < "1.2-rc10"; the word's case does not matter, an absent
//    number counts as 0); suffixes of different words ("1.2-beta1",
//    "1.2-rc1") cannot be ordered.
//  - Texts that are equal byte for byte (after the trimming) are equal,
//    whatever they hold. Any other text that does not have this form (an
//    empty text, "2.x", "1..2", "1.2rc1", "build 7") cannot be ordered with
//    anything: the pair is incomparable.
#pragma once

#include <cstdint>
#include <string>

enum class VersionOrder : uint8_t {
  kOlder,  ///< the first text is the older version
  kEqual,
  kNewer,         ///< the first text is the newer version
  kIncomparable,  ///< the rule above cannot order them
};

/// The order of version text a relative to b.
VersionOrder compareVersions(const std::string& a, const std::string& b);

/// What an update of one device with one file would do.
enum class PolicyVerdict : uint8_t {
  kUpdate,        ///< the file is newer, or the device waits in its bootloader
  kUpToDate,      ///< the device runs the file's version
  kDowngrade,     ///< the file is older than the device's firmware
  kIncomparable,  ///< the two versions cannot be ordered (or the file has none)
  kWrongModel,    ///< the device is another model: no update would take it
};

/// The fixed name of a verdict ("update", "up-to-date", "downgrade",
/// "incomparable", "wrong-model").
const char* policyVerdictName(PolicyVerdict verdict);

/// What a device reports of itself, as its identification found it.
struct DeviceVersion {
  std::string model;
  std::string version;
  /// Found in its bootloader: the version it reports is the bootloader's,
  /// and its application firmware (if any) is unknown.
  bool inBootloader = false;
};

/// The verdict for a device and a file of fileModel and fileVersion. A device
/// in its bootloader is always updated: an interrupted update must stay
/// finishable, and there is no application version to compare.
PolicyVerdict decideVersionPolicy(const DeviceVersion& device, const std::string& fileModel,
                                  const std::string& fileVersion);

/// The operator's policy for an update session; both off by default, which
/// updates whatever the versions.
struct VersionPolicy {
  /// A device already on the file's version is left alone (reason up-to-date).
  bool skipIfCurrent = false;
  /// A file older than the device's firmware, or incomparable with it, is
  /// refused before the switch (reason downgrade-refused).
  bool noDowngrade = false;

  bool active() const { return skipIfCurrent || noDowngrade; }
};
