#include "sim/device_model.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "protocol/command_codes.h"

uint32_t deviceImageCrc(const uint8_t* data, size_t length) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return crc;
}

namespace {

// Lays out an answer exactly like a request: length byte = payload + 2, its
// complement, the request's mask and sequence echoed, checksum behind the
// payload. A length byte above 25 means the answer continues in a second
// report, which the host reads without asking again.
std::vector<Report> frameAnswer(const uint8_t* request, const std::vector<uint8_t>& payload) {
  uint8_t buffer[kFrameBufferSize] = {};
  size_t length = std::min<size_t>(payload.size(), kFrameBufferSize - kOffsetPayload - 2);
  uint16_t checksum = 0;
  for (size_t i = 0; i < length; ++i) checksum = static_cast<uint16_t>(checksum + payload[i]);
  buffer[kOffsetReportId] = kResponseReportId;
  buffer[kOffsetProtocolMask] = request[kOffsetProtocolMask];
  buffer[kOffsetFlag] = kFlagBase;
  buffer[kOffsetLength] = static_cast<uint8_t>(length + 2);
  buffer[kOffsetLengthComplement] = static_cast<uint8_t>(~buffer[kOffsetLength]);
  buffer[kOffsetSequence] = request[kOffsetSequence];
  std::memcpy(buffer + kOffsetPayload, payload.data(), length);
  buffer[kOffsetPayload + length] = static_cast<uint8_t>(checksum & 0xFF);
  buffer[kOffsetPayload + length + 1] = static_cast<uint8_t>(checksum >> 8);

  std::vector<Report> reports(1);
  std::memcpy(reports[0].data(), buffer, kReportSize);
  if (buffer[kOffsetLength] > kSingleReportMaxLength) {
    Report tail{};
    tail[0] = kResponseReportId;
    std::memcpy(tail.data() + 1, buffer + kReportSize, kReportSize - 1);
    reports.push_back(tail);
  }
  return reports;
}

// A request is taken only when it is framed the way the host frames it.
bool wellFormedRequest(const Report& frame, uint8_t* payloadLength) {
  if (frame[kOffsetReportId] != kRequestReportId) return false;
  if (static_cast<uint8_t>(frame[kOffsetLength] + frame[kOffsetLengthComplement]) != 0xFF)
    return false;
  if (frame[kOffsetLength] < 3 || frame[kOffsetLength] > kMaxPayloadLength + 2) return false;
  uint8_t length = static_cast<uint8_t>(frame[kOffsetLength] - 2);
  uint16_t checksum = 0;
  for (uint8_t i = 0; i < length; ++i)
    checksum = static_cast<uint16_t>(checksum + frame[kOffsetPayload + i]);
  uint16_t stored = static_cast<uint16_t>(frame[kOffsetPayload + length] |
                                          (frame[kOffsetPayload + length + 1] << 8));
  if (stored != checksum) return false;
  *payloadLength = length;
  return true;
}

const DeviceFault* faultFor(const std::vector<DeviceFault>& faults, uint8_t command,
                            uint32_t occurrence) {
  for (const DeviceFault& fault : faults) {
    if (fault.command != command || occurrence < fault.firstOccurrence) continue;
    if (fault.count == 0 || occurrence - fault.firstOccurrence < fault.count) return &fault;
  }
  return nullptr;
}

}  // namespace

DeviceModel::DeviceModel(DeviceModelConfig config)
    : config_(std::move(config)),
      mode_(config_.startMode == kModeBootloader ? kModeBootloader : kModeApplication) {}

uint16_t DeviceModel::vendorId() const {
  return mode_ == kModeBootloader ? config_.bootVid : config_.appVid;
}

uint16_t DeviceModel::productId() const {
  return mode_ == kModeBootloader ? config_.bootPid : config_.appPid;
}

uint32_t DeviceModel::holdMs(const uint8_t* report, size_t length) const {
  Report frame{};
  std::memcpy(frame.data(), report, std::min<size_t>(length, kReportSize));
  uint8_t payloadLength = 0;
  if (!wellFormedRequest(frame, &payloadLength)) return 0;
  const uint8_t command = frame[kOffsetPayload];
  const DeviceFault* fault = faultFor(config_.faults, command, counts_[command] + 1);
  return fault != nullptr && fault->kind == FaultKind::kHeldWrite ? fault->delayMs : 0;
}

DeviceReply DeviceModel::receive(const uint8_t* report, size_t length) {
  DeviceReply reply;
  Report frame{};
  std::memcpy(frame.data(), report, std::min<size_t>(length, kReportSize));
  if (config_.logFrames) frames_.push_back(frame);
  uint8_t payloadLength = 0;
  if (!wellFormedRequest(frame, &payloadLength)) return reply;
  const uint8_t* payload = frame.data() + kOffsetPayload;
  const uint8_t command = payload[0];
  const uint32_t occurrence = ++counts_[command];
  const DeviceFault* fault = faultFor(config_.faults, command, occurrence);
  // A lost request: nothing happens on the device.
  if (fault != nullptr && fault->kind == FaultKind::kNoAnswer) return reply;

  const bool boot = mode_ == kModeBootloader;
  // The answer's payload: marker, a byte nobody reads, the echo, the status.
  constexpr size_t kStatus = kResponseStatusOffset - kOffsetPayload;
  std::vector<uint8_t> answer = {kResponseMarker, 0x00, command, kCommandSucceeded};
  switch (command) {
    case CmdReadVersion: {
      answer.resize(kVersionTextOffset - kOffsetPayload, 0);
      const std::string& model =
          boot && !config_.bootModel.empty() ? config_.bootModel : config_.model;
      std::memcpy(answer.data() + (kVersionModelOffset - kOffsetPayload), model.data(),
                  std::min<size_t>(model.size(), kVersionModelLength));
      size_t versionLength = std::min<size_t>(config_.version.size(), kVersionTextLength);
      answer.insert(answer.end(), config_.version.begin(),
                    config_.version.begin() + static_cast<long>(versionLength));
      // The text ends with a zero byte unless it fills its field; the
      // checksum that follows the payload must not read as more text.
      if (versionLength < kVersionTextLength) answer.push_back(0);
      break;
    }
    case CmdGetInfo:
      answer.push_back(static_cast<uint8_t>(config_.protocolVersion & 0xFF));
      answer.push_back(static_cast<uint8_t>(config_.protocolVersion >> 8));
      answer.push_back(config_.capabilityMask);
      answer.push_back(boot ? 0 : 1);
      break;
    case CmdSetProtocol:
      if (!boot) {
        answer[kStatus] = kCommandRefused;
        break;
      }
      selection_ = payloadLength >= 2 ? payload[1] : 0;
      answer[kStatus] = config_.setProtocolResult;
      break;
    case CmdStartUpdate:
      if (!boot) {
        answer[kStatus] = kCommandRefused;
        break;
      }
      image_.clear();
      finished_ = false;
      verified_ = false;
      break;
    case CmdWriteData:
      if (!boot) {
        answer[kStatus] = kCommandRefused;
        break;
      }
      image_.insert(image_.end(), payload + 1, payload + payloadLength);
      verified_ = false;
      ++dataFrames_;
      if (config_.vanishAfterDataFrames != 0 && dataFrames_ >= config_.vanishAfterDataFrames)
        reply.event = DeviceModelEvent::kVanish;
      else if (config_.stopTakingAfterDataFrames != 0 &&
               dataFrames_ >= config_.stopTakingAfterDataFrames)
        reply.event = DeviceModelEvent::kStopTaking;
      break;
    case CmdVerify: {
      uint8_t result = 1;  // any value but kCommandSucceeded
      if (boot && payloadLength >= 9) {
        uint32_t imageCrc =
            static_cast<uint32_t>(payload[1] | (payload[2] << 8) | (payload[3] << 16)) |
            (static_cast<uint32_t>(payload[4]) << 24);
        // The second word is the CRC again for plain images and a container's
        // own check word otherwise; either is accepted.
        if (config_.verify == VerifyBehaviour::kAlwaysPass)
          result = kCommandSucceeded;
        else if (config_.verify == VerifyBehaviour::kCheckCrc &&
                 imageCrc == deviceImageCrc(image_.data(), image_.size()))
          result = kCommandSucceeded;
      }
      answer.push_back(result);
      verified_ = result == kCommandSucceeded;
      break;
    }
    case CmdFinish:
      if (!boot) break;
      finished_ = true;
      if (config_.nextBoardAfterFinishMs != 0) {
        reply.event = DeviceModelEvent::kTakenOut;
        reply.eventDelayMs = config_.nextBoardAfterFinishMs;
      } else if (config_.restartAfterFinish) {
        mode_ = kModeApplication;
        if (!config_.versionAfterFinish.empty()) config_.version = config_.versionAfterFinish;
        reply.event = DeviceModelEvent::kRestart;
        reply.eventDelayMs = config_.restartDelayMs;
      }
      break;
    case CmdEnterBootloader:
      if (!boot) {
        mode_ = kModeBootloader;
        reply.event = config_.neverReturnAfterSwitch ? DeviceModelEvent::kVanish
                                                     : DeviceModelEvent::kReenumerate;
        reply.eventDelayMs = config_.reenumerateDelayMs;
      }
      break;
    default:
      answer[kStatus] = kCommandRefused;
      break;
  }

  if (fault != nullptr && fault->kind == FaultKind::kWrongMarker) answer[0] = 0x5A;
  if (fault != nullptr && fault->kind == FaultKind::kWrongEcho)
    answer[kOffsetEcho - kOffsetPayload] = static_cast<uint8_t>(command ^ 0x80);
  reply.reports = frameAnswer(frame.data(), answer);
  if (fault != nullptr && fault->kind == FaultKind::kGarbage) {
    Report junk{};
    junk[0] = kResponseReportId;
    for (size_t i = 1; i < kReportSize; ++i) {
      garbageSeed_ = garbageSeed_ * 1103515245u + 12345u;
      junk[i] = static_cast<uint8_t>(garbageSeed_ >> 16);
    }
    if (junk[kOffsetMarker] == kResponseMarker) junk[kOffsetMarker] = 0;
    reply.reports.assign(1, junk);
  }
  if (fault != nullptr && fault->kind == FaultKind::kLateAnswer) reply.delayMs = fault->delayMs;
  if (fault != nullptr && fault->kind == FaultKind::kAnswerLost) reply.reports.clear();
  if (fault != nullptr && fault->kind == FaultKind::kDuplicate) {
    const std::vector<Report> once = reply.reports;
    reply.reports.insert(reply.reports.end(), once.begin(), once.end());
  }
  if (fault != nullptr && fault->kind == FaultKind::kOutOfOrder) reply.behindNext = true;
  return reply;
}
