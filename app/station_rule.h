// The station's rule for telling a new board from the one it has just
// flashed, on one port of the fixture.
//
// A port whose unit ended is done until its board leaves. A real board
// restarts into its application firmware after the finish command: it leaves
// and comes back on the same port within seconds, and that is the same
// board. What comes back is judged by what it says: its serial, where both it
// and the unit's device in the same firmware (application or bootloader) have
// one; else its version, where the file has one (the board just flashed
// reports the file's version). Where neither tells, the port is armed again
// only once it has stayed empty for the settle time.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/device_mode.h"

/// What the last unit of a port showed of its board.
struct PortMemory {
  std::string applicationSerial;  ///< its serial in the application firmware, if seen
  std::string bootloaderSerial;   ///< in its bootloader, if seen
  std::string path;               ///< the interface it was last seen on
  int64_t leftAtMs = -1;          ///< when the port went empty; -1 while the board is there
};

enum class ArrivalVerdict : uint8_t {
  kSameBoard,   ///< the board of the last unit: the port stays done
  kNewUnit,     ///< another board: a new unit starts
  kAskVersion,  ///< its version tells: the file's version means the same board
};

/// Judges a device in mode with serial that appeared on a done port within the
/// settle time. fileHasVersion: the firmware file names its version.
ArrivalVerdict judgeArrival(const PortMemory& memory, DeviceMode mode, const std::string& serial,
                            bool fileHasVersion);

/// True when a port that went empty at leftAtMs has stayed empty long enough
/// at nowMs to be armed for a new board.
bool settled(int64_t leftAtMs, int64_t nowMs, uint32_t settleSeconds);
