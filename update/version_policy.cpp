#include "update/version_policy.h"

#include <string_view>
#include <vector>

namespace {

// A version text taken apart by the rule in the header. Every view points
// into the text it was read from; numbers keep no leading zeros.
struct VersionParts {
  std::vector<std::string_view> fields;
  bool preRelease = false;  // there is a suffix after a dash
  std::string word;         // its word, lower case
  std::string_view number;  // the number that ends it
};

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

bool isLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

std::string_view trimmed(std::string_view text) {
  const char* space = " \t\r\n";
  const size_t first = text.find_first_not_of(space);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// The digits at the front of text, taken off it; empty when there are none.
std::string_view takeDigits(std::string_view& text) {
  size_t length = 0;
  while (length < text.size() && isDigit(text[length])) ++length;
  std::string_view digits = text.substr(0, length);
  text.remove_prefix(length);
  while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
  return digits;
}

bool parseVersion(std::string_view text, VersionParts* parts) {
  if (!text.empty() && (text.front() == 'v' || text.front() == 'V')) text.remove_prefix(1);
  for (;;) {
    const std::string_view field = takeDigits(text);
    if (field.empty()) return false;
    parts->fields.push_back(field);
    if (text.empty() || text.front() != '.') break;
    text.remove_prefix(1);
  }
  if (text.empty()) return true;
  if (text.front() != '-') return false;
  text.remove_prefix(1);
  parts->preRelease = true;
  while (!text.empty() && isLetter(text.front())) {
    parts->word += static_cast<char>(text.front() | 0x20);  // ASCII lower case
    text.remove_prefix(1);
  }
  if (!parts->word.empty() && !text.empty() && text.front() == '.') text.remove_prefix(1);
  parts->number = takeDigits(text);
  return text.empty() && (!parts->word.empty() || !parts->number.empty());
}

// Numbers without leading zeros, of any length.
int compareNumbers(std::string_view a, std::string_view b) {
  if (a.empty()) a = "0";
  if (b.empty()) b = "0";
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  const int comparison = a.compare(b);
  return (comparison > 0) - (comparison < 0);
}

VersionOrder orderOf(int comparison) {
  return comparison < 0   ? VersionOrder::kOlder
         : comparison > 0 ? VersionOrder::kNewer
                          : VersionOrder::kEqual;
}

}  // namespace

VersionOrder compareVersions(const std::string& a, const std::string& b) {
  const std::string_view left = trimmed(a);
  const std::string_view right = trimmed(b);
  if (!left.empty() && left == right) return VersionOrder::kEqual;
  VersionParts x, y;
  if (!parseVersion(left, &x) || !parseVersion(right, &y)) return VersionOrder::kIncomparable;
  const size_t fields = x.fields.size() > y.fields.size() ? x.fields.size() : y.fields.size();
  for (size_t i = 0; i < fields; ++i) {
    const int comparison = compareNumbers(i < x.fields.size() ? x.fields[i] : "0",
                                          i < y.fields.size() ? y.fields[i] : "0");
    if (comparison != 0) return orderOf(comparison);
  }
  // The same release: a pre-release comes before it.
  if (x.preRelease != y.preRelease)
    return x.preRelease ? VersionOrder::kOlder : VersionOrder::kNewer;
  if (!x.preRelease) return VersionOrder::kEqual;
  if (x.word != y.word) return VersionOrder::kIncomparable;
  return orderOf(compareNumbers(x.number, y.number));
}

const char* policyVerdictName(PolicyVerdict verdict) {
  switch (verdict) {
    case PolicyVerdict::kUpdate:
      return "update";
    case PolicyVerdict::kUpToDate:
      return "up-to-date";
    case PolicyVerdict::kDowngrade:
      return "downgrade";
    case PolicyVerdict::kIncomparable:
      return "incomparable";
    case PolicyVerdict::kWrongModel:
      return "wrong-model";
  }
  return "unknown";
}

PolicyVerdict decideVersionPolicy(const DeviceVersion& device, const std::string& fileModel,
                                  const std::string& fileVersion) {
  if (device.model != fileModel) return PolicyVerdict::kWrongModel;
  if (device.inBootloader) return PolicyVerdict::kUpdate;
  switch (compareVersions(fileVersion, device.version)) {
    case VersionOrder::kNewer:
      return PolicyVerdict::kUpdate;
    case VersionOrder::kEqual:
      return PolicyVerdict::kUpToDate;
    case VersionOrder::kOlder:
      return PolicyVerdict::kDowngrade;
    case VersionOrder::kIncomparable:
      break;
  }
  return PolicyVerdict::kIncomparable;
}
