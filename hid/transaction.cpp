#include "hid/transaction.h"

#include <chrono>
#include <cstring>

namespace {

// Tells the link's listener, if any, how the exchange went; returns status.
TransactionStatus told(const TransactionLink& link, const HidDevice* device, const uint8_t* request,
                       const uint8_t* response, TransactionStatus status,
                       std::chrono::steady_clock::time_point start) {
  if (link.listener != nullptr) {
    const auto end = std::chrono::steady_clock::now();
    link.listener->exchanged(
        {device, request, response, status,
         std::chrono::duration_cast<std::chrono::microseconds>(end - start).count(), end,
         link.send});
  }
  return status;
}

}  // namespace

uint8_t nextFrameSequence(uint8_t sequence) {
  return sequence == 255 ? 1 : static_cast<uint8_t>(sequence + 1);
}

bool buildRequestFrame(const uint8_t* payload, uint8_t payloadLength, uint8_t flag,
                       uint8_t protocolMask, uint8_t sequence, uint8_t* frame) {
  if (payloadLength > kMaxPayloadLength) return false;
  std::memset(frame, 0, kFrameBufferSize);
  uint16_t checksum = 0;
  for (uint8_t i = 0; i < payloadLength; ++i)
    checksum = static_cast<uint16_t>(checksum + payload[i]);
  frame[kOffsetReportId] = kRequestReportId;
  frame[kOffsetProtocolMask] = protocolMask;
  frame[kOffsetFlag] = static_cast<uint8_t>(kFlagBase + flag);
  frame[kOffsetLength] = static_cast<uint8_t>(payloadLength + 2);
  frame[kOffsetLengthComplement] = static_cast<uint8_t>(~frame[kOffsetLength]);
  frame[kOffsetSequence] = sequence;
  if (payloadLength > 0) std::memcpy(frame + kOffsetPayload, payload, payloadLength);
  frame[kOffsetPayload + payloadLength] = static_cast<uint8_t>(checksum & 0xFF);
  frame[kOffsetPayload + payloadLength + 1] = static_cast<uint8_t>(checksum >> 8);
  return true;
}

TransactionStatus sendTransaction(TransactionLink& link, HidDevice* device, const uint8_t* payload,
                                  uint8_t payloadLength, uint8_t flag, uint8_t* response,
                                  uint8_t* bytesRead) {
  if (device == nullptr || !device->handle) return kTransactionFailed;
  uint8_t request[kFrameBufferSize];
  uint8_t input[kFrameBufferSize] = {};
  if (!buildRequestFrame(payload, payloadLength, flag, device->protocolMask, link.frameSequence,
                         request))
    return kTransactionFailed;
  link.frameSequence = nextFrameSequence(link.frameSequence);

  HidConnection& connection = *device->handle;
  // Answers to earlier, abandoned requests must not pass for this one's.
  connection.flushInput();
  // The clock is read only for a listener: it can cost a system call.
  const auto start = link.listener != nullptr ? std::chrono::steady_clock::now()
                                          : std::chrono::steady_clock::time_point{};
  HidWaitResult wait = connection.writeReport(request, kTransactionWaitMs);
  if (wait != kHidWaitDone) {
    connection.cancelIo();
    return told(link, device, request, nullptr,
                wait == kHidWaitTimeout ? kTransactionTimeout : kTransactionFailed, start);
  }
  uint32_t count = 0;
  input[0] = kResponseReportId;
  wait = connection.readReport(input, kTransactionWaitMs, &count);
  if (wait != kHidWaitDone) {
    connection.cancelIo();
    return told(link, device, request, nullptr,
                wait == kHidWaitTimeout ? kTransactionTimeout : kTransactionFailed, start);
  }
  std::memcpy(response, input, kFrameBufferSize);
  if (bytesRead != nullptr) *bytesRead = static_cast<uint8_t>(count & 0xFF);
  return told(link, device, request, input, kTransactionOk, start);
}
