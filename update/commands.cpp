#include "update/commands.h"

#include <cstring>

#include "protocol/frame_format.h"
#include "hid/transaction.h"

bool isWellFormedResponse(const uint8_t* response, Command command) {
  return response[kOffsetMarker] == kResponseMarker && response[kOffsetEcho] == command;
}

uint8_t buildVerifyPayload(uint32_t imageCrc, uint32_t checkWord, uint8_t* payload) {
  payload[0] = CmdVerify;
  for (int i = 0; i < 4; ++i) {
    payload[1 + i] = static_cast<uint8_t>(imageCrc >> (8 * i));
    payload[5 + i] = static_cast<uint8_t>(checkWord >> (8 * i));
  }
  return 9;
}

namespace {

// The tail of a long version answer comes as a second input report, without a
// request of its own.
void readContinuation(HidDevice* device, uint8_t* response) {
  uint8_t first[kFrameBufferSize] = {};
  uint8_t second[kFrameBufferSize] = {};
  first[0] = kResponseReportId;
  uint32_t count = 0;
  HidWaitResult wait = device->handle->readReport(first, kContinuationWaitMs, &count);
  if (wait == kHidWaitDone)
    std::memcpy(second, first, kFrameBufferSize);
  else
    device->handle->cancelIo();
  std::memcpy(response + kReportSize, second + 1, kFrameBufferSize - kReportSize);
}

void copyField(const uint8_t* field, size_t length, char* out) {
  char text[kVersionTextLength + 1] = {};
  std::memcpy(text, field, length);
  text[length] = '\0';
  std::memcpy(out, text, std::strlen(text) + 1);
}

}  // namespace

TransactionStatus readFirmwareVersion(TransactionLink& link, HidDevice* device, char* model,
                                      char* version) {
  uint8_t response[kFrameBufferSize] = {};
  const uint8_t payload[1] = {CmdReadVersion};
  uint8_t bytesRead = 0;
  TransactionStatus status = sendTransaction(link, device, payload, 1, 0, response, &bytesRead);
  if (status != kTransactionOk) return status;
  if (response[kOffsetLength] > kSingleReportMaxLength) readContinuation(device, response);
  if (!isWellFormedResponse(response, CmdReadVersion)) return kTransactionOk;
  copyField(response + kVersionModelOffset, kVersionModelLength, model);
  copyField(response + kVersionTextOffset, kVersionTextLength, version);
  return kTransactionOk;
}
