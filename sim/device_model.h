// The device's side of the command protocol, platform-free and deterministic.
//
// It takes one output report at a time and answers with zero or more input
// reports plus, at times, an event for its host (SimHost). It has no clock:
// every delay is handed back as a number of milliseconds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/frame_format.h"
#include "protocol/device_mode.h"

/// What the host of the model has to do after an exchange.
enum class DeviceModelEvent : uint8_t {
  kNone = 0,
  kReenumerate,  ///< disappear now, reappear as the bootloader after eventDelayMs
  kVanish,       ///< disappear for good
  kStopTaking,   ///< stay present but take no further output report
  kRestart,      ///< disappear now, reappear in the application firmware after eventDelayMs
  kTakenOut,     ///< disappear now; the next board takes its place after eventDelayMs
};

/// The kinds of faults that can be injected into the answers.
enum class FaultKind : uint8_t {
  kNoAnswer,     ///< the frame is lost: neither acted on nor answered
  kLateAnswer,   ///< the answer comes delayMs after the request
  kWrongMarker,  ///< byte 6 is not 0xA3
  kWrongEcho,    ///< byte 8 is not the command code
  kGarbage,      ///< an input report of arbitrary bytes instead of the answer
  kAnswerLost,   ///< the frame is acted on, but its answer is lost
  kDuplicate,    ///< the answer comes twice
  kOutOfOrder,   ///< the answer comes only behind the answer to the next frame
  kHeldWrite,    ///< the device takes the frame only delayMs after it was sent,
                 ///< as a USB device that refuses the OUT transfer until then
};

/// One fault: applies to frames firstOccurrence .. firstOccurrence+count-1
/// (1-based, counted per command code) of command. count 0 means every frame
/// from firstOccurrence on.
struct DeviceFault {
  FaultKind kind = FaultKind::kNoAnswer;
  uint8_t command = 0;
  uint32_t firstOccurrence = 1;
  uint32_t count = 1;
  uint32_t delayMs = 0;  ///< kLateAnswer and kHeldWrite only
};

/// How the device answers to CmdVerify.
enum class VerifyBehaviour : uint8_t {
  kCheckCrc,  ///< result 0 when imageCrc equals the CRC of the stored bytes
  kAlwaysPass,
  kAlwaysFail,
};

struct DeviceModelConfig {
  uint16_t appVid = 0;
  uint16_t appPid = 0;
  uint16_t bootVid = 0;
  uint16_t bootPid = 0;
  std::string model;    ///< at most 10 characters are sent
  /// The model the bootloader reports, when it is not `model` (empty: it is).
  std::string bootModel;
  std::string version;  ///< at most 20; more than 6 needs a second report
  DeviceMode startMode = kModeApplication;
  uint16_t protocolVersion = 1;   ///< CmdGetInfo bytes 10-11
  uint8_t capabilityMask = 0x01;  ///< CmdGetInfo byte 12
  uint8_t setProtocolResult = 0;  ///< CmdSetProtocol byte 9
  VerifyBehaviour verify = VerifyBehaviour::kCheckCrc;
  /// Restart time after CmdEnterBootloader before the bootloader appears.
  uint32_t reenumerateDelayMs = 1500;
  /// After CmdEnterBootloader the device disappears and never comes back.
  bool neverReturnAfterSwitch = false;
  /// The device disappears right after answering this many CmdWriteData frames
  /// (0: never).
  uint32_t vanishAfterDataFrames = 0;
  /// The device stops taking output reports right after answering this many
  /// CmdWriteData frames (0: never): a USB device's OUT endpoint refuses them.
  uint32_t stopTakingAfterDataFrames = 0;
  std::vector<DeviceFault> faults;
  /// Keep every received frame (off for long benchmark runs).
  bool logFrames = true;
  /// After CmdFinish in its bootloader the device restarts into its
  /// application firmware, as a real one does: it disappears and comes back
  /// after restartDelayMs under its application ids.
  bool restartAfterFinish = false;
  uint32_t restartDelayMs = 1000;
  /// The version it reports after that restart (empty: the one it had).
  std::string versionAfterFinish;
  /// A fixture's operator: this long after CmdFinish the board is taken out
  /// and the next one, fresh from the same config, is put in on its port
  /// (0: never).
  uint32_t nextBoardAfterFinishMs = 0;
};

/// The answer to one output report.
struct DeviceReply {
  std::vector<Report> reports;  ///< input reports, in order
  uint32_t delayMs = 0;         ///< when the reports become readable, after the request
  bool behindNext = false;      ///< the reports leave only behind the next frame's answer
  DeviceModelEvent event = DeviceModelEvent::kNone;
  uint32_t eventDelayMs = 0;  ///< for kReenumerate: until the bootloader appears
};

class DeviceModel {
 public:
  explicit DeviceModel(DeviceModelConfig config);

  /// Handles one output report of length bytes (report id first). Frames that
  /// are not well-formed requests (id, length complement, checksum) are logged
  /// and not answered.
  DeviceReply receive(const uint8_t* report, size_t length);
  /// How long after it is sent the device takes this output report (0: at
  /// once), by the faults of the occurrence it would be. Changes nothing.
  uint32_t holdMs(const uint8_t* report, size_t length) const;

  /// Current firmware: application or bootloader.
  DeviceMode mode() const { return mode_; }
  /// Identifiers the device reports in its current mode.
  uint16_t vendorId() const;
  uint16_t productId() const;

  /// Every output report received, in order, padded or cut to kReportSize.
  const std::vector<Report>& receivedFrames() const { return frames_; }
  /// Image bytes of every CmdWriteData taken since the last CmdStartUpdate,
  /// in order.
  const std::vector<uint8_t>& storedImage() const { return image_; }
  /// Number of frames received with the given command code.
  uint32_t commandCount(uint8_t command) const { return counts_[command]; }
  /// Last CmdSetProtocol argument (0 before any).
  uint8_t protocolSelection() const { return selection_; }
  /// True once CmdFinish was received in bootloader mode.
  bool finished() const { return finished_; }
  /// True when the last CmdVerify passed and no image byte came since.
  bool verified() const { return verified_; }

  const DeviceModelConfig& config() const { return config_; }

 private:
  DeviceModelConfig config_;
  DeviceMode mode_;
  std::vector<Report> frames_;
  std::vector<uint8_t> image_;
  uint32_t counts_[256] = {};
  uint32_t dataFrames_ = 0;
  uint32_t garbageSeed_ = 0x2545F491;
  uint8_t selection_ = 0;
  bool finished_ = false;
  bool verified_ = false;
};

/// The device's own check of a stored image: reflected CRC-32, polynomial
/// 0xEDB88320, preset 0xFFFFFFFF, no final inversion.
uint32_t deviceImageCrc(const uint8_t* data, size_t length);
