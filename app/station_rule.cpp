#include "app/station_rule.h"

ArrivalVerdict judgeArrival(const PortMemory& memory, DeviceMode mode, const std::string& serial,
                            bool fileHasVersion) {
  // A bootloader may call itself by another serial than the application does:
  // only serials of the same firmware are compared.
  const std::string& known =
      mode == kModeBootloader ? memory.bootloaderSerial : memory.applicationSerial;
  if (!known.empty() && !serial.empty())
    return known == serial ? ArrivalVerdict::kSameBoard : ArrivalVerdict::kNewUnit;
  // A board in its bootloader after a unit is the unit's board that failed or
  // was stopped, or one that says nothing of itself: never new within the
  // settle time, whatever its version.
  if (fileHasVersion && mode != kModeBootloader) return ArrivalVerdict::kAskVersion;
  return ArrivalVerdict::kSameBoard;
}

bool settled(int64_t leftAtMs, int64_t nowMs, uint32_t settleSeconds) {
  return leftAtMs >= 0 && nowMs - leftAtMs >= int64_t{settleSeconds} * 1000;
}
