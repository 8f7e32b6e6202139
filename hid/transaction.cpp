#include "hid/transaction.h"

#include <chrono>
#include <cstring>

namespace {

// Tells the link's listener, if any, how the exchange went; returns status.
TransactionStatus told(const TransactionLink& link, const HidDevice* device, const uint8_t* request,
                       const uint8_t* response, TransactionStatus status,
                       std::chrono::steady_clock::time_point start,
                       ExchangeWrite write = ExchangeWrite::kWritten) {
  if (link.listener != nullptr) {
    const auto end = std::chrono::steady_clock::now();
    link.listener->exchanged(
        {device, request, response, status,
         std::chrono::duration_cast<std::chrono::microseconds>(end - start).count(), end, link.send,
         write});
  }
  return status;
}

TransactionStatus waitStatus(HidWaitResult wait) {
  return wait == kHidWaitTimeout ? kTransactionTimeout : kTransactionFailed;
}

// True when two request frames are one request sent twice: equal but for the
// sequence number.
bool sameRequest(const uint8_t* a, const uint8_t* b) {
  constexpr size_t kAfter = kOffsetSequence + 1;
  return std::memcmp(a, b, kOffsetSequence) == 0 &&
         std::memcmp(a + kAfter, b + kAfter, kReportSize - kAfter) == 0;
}

// The second half of an exchange: one input report within the read's wait.
TransactionStatus readAnswer(const TransactionLink& link, HidDevice* device, const uint8_t* request,
                             uint8_t* response, uint8_t* bytesRead,
                             std::chrono::steady_clock::time_point start, ExchangeWrite write) {
  HidConnection& connection = *device->handle;
  uint8_t input[kFrameBufferSize] = {};
  uint32_t count = 0;
  input[0] = kResponseReportId;
  const HidWaitResult wait = connection.readReport(input, kTransactionWaitMs, &count);
  if (wait != kHidWaitDone) {
    connection.cancelIo();
    return told(link, device, request, nullptr, waitStatus(wait), start, write);
  }
  std::memcpy(response, input, kFrameBufferSize);
  if (bytesRead != nullptr) *bytesRead = static_cast<uint8_t>(count & 0xFF);
  return told(link, device, request, input, kTransactionOk, start, write);
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
  if (!buildRequestFrame(payload, payloadLength, flag, device->protocolMask, link.frameSequence,
                         request))
    return kTransactionFailed;
  link.frameSequence = nextFrameSequence(link.frameSequence);

  HidConnection& connection = *device->handle;
  // The clock is read only for a listener: it can cost a system call.
  const auto start = link.listener != nullptr ? std::chrono::steady_clock::now()
                                          : std::chrono::steady_clock::time_point{};
  // A write an earlier send gave up on may still be held by the system, and
  // the device may take it yet: no second report goes out while it is on its
  // way. When it is an earlier send of this very request, it is this send's
  // write: writing the request again would let the device take it twice (a
  // chunk stored twice). Its answer comes only once the device has taken it,
  // and the send that wrote it emptied the input queue first, so whatever
  // waits there answers this request.
  uint8_t held[kFrameBufferSize] = {};
  HidHeldWrite hold = connection.heldWrite(0, held);
  if (hold != kHidNoHeldWrite) {
    const bool same = sameRequest(held, request);
    if (hold == kHidWriteHeld) hold = connection.heldWrite(kTransactionWaitMs, held);
    if (hold == kHidHeldWriteTaken) {
      if (same)
        return readAnswer(link, device, held, response, bytesRead, start,
                          ExchangeWrite::kHeldBefore);
      // Another request's: its answer is read and dropped, so that it cannot
      // pass for the next request's.
      uint8_t dropped[kFrameBufferSize] = {};
      readAnswer(TransactionLink{}, device, held, dropped, nullptr, start,
                 ExchangeWrite::kHeldBefore);
      return told(link, device, request, nullptr, kTransactionTimeout, start,
                  ExchangeWrite::kNotWritten);
    }
    // Still held; or, for this request, ended untaken. The device did not
    // take it within the system's own wait, far longer than ours: another
    // write of it would only be held as long again.
    if (hold == kHidWriteHeld || same)
      return told(link, device, request, nullptr,
                  hold == kHidHeldWriteFailed ? kTransactionFailed : kTransactionTimeout, start,
                  ExchangeWrite::kNotWritten);
  }

  // Answers to earlier, abandoned requests must not pass for this one's.
  connection.flushInput();
  uint8_t input[kFrameBufferSize] = {};
  input[0] = kResponseReportId;
  uint32_t count = 0;
  bool written = false;
  const HidWaitResult wait =
      connection.exchangeReports(request, input, kTransactionWaitMs, &count, &written);
  if (wait != kHidWaitDone) {
    connection.cancelIo();
    return told(link, device, request, nullptr, waitStatus(wait), start);
  }
  std::memcpy(response, input, kFrameBufferSize);
  if (bytesRead != nullptr) *bytesRead = static_cast<uint8_t>(count & 0xFF);
  return told(link, device, request, input, kTransactionOk, start);
}
