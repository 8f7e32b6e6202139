// One request/response exchange with a device.
#pragma once

#include <chrono>
#include <cstdint>

#include "hid/hid_device.h"
#include "protocol/frame_format.h"

enum TransactionStatus : int {
  kTransactionOk = 0,
  kTransactionTimeout = 2,  ///< the write or the read did not complete within 1000 ms
  kTransactionFailed = 3,   ///< the wait failed otherwise, or the payload was refused
};

/// Milliseconds allowed for the write and, separately, for the read.
constexpr uint32_t kTransactionWaitMs = 1000;

/// Assembles a request frame in frame[0..kFrameBufferSize): report id, mask,
/// 0x55 + flag, length and its complement, sequence, payload, little-endian
/// checksum (sum of the payload bytes), zeros. False (frame untouched) when
/// payloadLength exceeds kMaxPayloadLength.
bool buildRequestFrame(const uint8_t* payload, uint8_t payloadLength, uint8_t flag,
                       uint8_t protocolMask, uint8_t sequence, uint8_t* frame);

/// The sequence number that follows sequence: 255 is followed by 1.
uint8_t nextFrameSequence(uint8_t sequence);

/// How the request of an exchange reached the device.
enum class ExchangeWrite : uint8_t {
  kWritten,     ///< this send wrote it
  kHeldBefore,  ///< an earlier send of it wrote it, and the system held it until now
  kNotWritten,  ///< not at all: an earlier send's write of it was still held, or refused
};

/// One exchange as it went, for whoever records them (the session log).
struct ExchangeRecord {
  const HidDevice* device;
  const uint8_t* request;   ///< the kReportSize bytes written (or meant to be)
  const uint8_t* response;  ///< the kReportSize bytes read; null unless kTransactionOk
  TransactionStatus status;
  int64_t microseconds;  ///< from the write to the end of the read
  std::chrono::steady_clock::time_point end;
  uint32_t send;  ///< which send of the same request this was (1 for the first)
  ExchangeWrite write = ExchangeWrite::kWritten;
};

class ExchangeListener {
 public:
  virtual ~ExchangeListener() = default;
  /// Only watches: changes nothing the exchange does.
  virtual void exchanged(const ExchangeRecord& record) = 0;
};

/// What the exchanges of one session share: the sequence number of its next
/// request frame, and who watches them. Each session has its own.
struct TransactionLink {
  /// Byte 5 of the next request frame: 1 at start, 255 is followed by 1.
  uint8_t frameSequence = 1;
  /// Told about every exchange; null: nobody.
  ExchangeListener* listener = nullptr;
  /// Which send of the same request the next exchange is, for the listener.
  uint32_t send = 1;
};

/// Sends payload to device in one output report and waits for one input
/// report. link.frameSequence is used and advanced. On kTransactionOk response
/// (65 bytes) holds the input report in bytes 0..32 and zeros after it; on any
/// other status response is untouched and pending I/O is abandoned. A payload
/// longer than kMaxPayloadLength is refused with kTransactionFailed before
/// anything is sent. *bytesRead receives the low byte of the count of a read
/// that completed at once (0 otherwise).
///
/// A write an earlier exchange gave up on may still be held by the system
/// (HidConnection::heldWrite); nothing is written while it is. When it
/// carries this same request (but for the sequence number), it is this
/// send's write: once the device takes it, within the write's 1000 ms, the
/// exchange reads its answer instead of writing the request again. While it
/// is still held, and once the system has given up on it, the exchange ends
/// unanswered without writing (kTransactionTimeout; kTransactionFailed when
/// the device went): a request the device refused for the system's whole
/// wait is not written again on that connection. Another request's held
/// write makes the exchange wait for it (and read its answer, which is
/// dropped) and end unanswered without writing.
TransactionStatus sendTransaction(TransactionLink& link, HidDevice* device, const uint8_t* payload,
                                  uint8_t payloadLength, uint8_t flag, uint8_t* response,
                                  uint8_t* bytesRead);
