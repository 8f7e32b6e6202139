#include "app/run_report.h"

#include <chrono>
#include <cstdarg>
#include <ctime>

#include "app/command_line.h"
#include "app/message.h"
#include "app/update_context.h"
#include "common/files.h"
#include "hid/hid_device.h"
#include "update/commands.h"
#include "update/update_session.h"

namespace {

std::string hex16(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value);
  return text;
}

// out holds 2 * size + 1 characters.
void hexBytes(const uint8_t* data, size_t size, char* out) {
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < size; ++i) {
    *out++ = kDigits[data[i] >> 4];
    *out++ = kDigits[data[i] & 15];
  }
  *out = '\0';
}

const char* statusName(TransactionStatus status) {
  switch (status) {
    case kTransactionOk:
      return "ok";
    case kTransactionTimeout:
      return "time-out";
    default:
      return "failed";
  }
}

JsonLine deviceObject(const char* event, const HidDevice& device) {
  JsonLine object;
  object.add("event", event).add("path", device.path).add("port", device.port);
  object.add("serial", device.serial);
  return object;
}

}  // namespace

RunReport& runReport() {
  static RunReport report;
  return report;
}

RunReport::~RunReport() {
  if (log_ != nullptr) std::fclose(log_);
}

bool RunReport::start(const CommandLine& line, int argc, const char* const* argv) {
  json_ = line.json;
  if (line.logPath.empty()) return true;
  log_ = openFile(line.logPath, "ab");
  if (log_ == nullptr) {
    message("Error: cannot open the log file %s\n", line.logPath.c_str());
    return false;
  }
  std::setvbuf(log_, nullptr, _IOFBF, 64 * 1024);
  std::string words;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) words += ' ';
    words += argv[i];
  }
  log("run: %s", words.c_str());
  return true;
}

void RunReport::emit(const JsonLine& object) {
  if (json_) output("%s\n", object.text().c_str());
}

void RunReport::log(const char* format, ...) {
  if (log_ == nullptr) return;
  va_list args;
  va_start(args, format);
  write(format, args, true);
  va_end(args);
}

void RunReport::write(const char* format, va_list args, bool flushNow) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  // The date and time change once a second; exchanges come far more often.
  if (seconds != stampSeconds_) {
    stampSeconds_ = seconds;
    std::strftime(stamp_, sizeof stamp_, "%Y-%m-%dT%H:%M:%S", std::gmtime(&seconds));
  }
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() %
      1000000;
  // Each run of a parallel update writes its port in front.
  std::fprintf(log_, "%s.%06lldZ %s%s%s", stamp_, static_cast<long long>(micros),
               gContext.selectPort.empty() ? "" : "[", gContext.selectPort.c_str(),
               gContext.selectPort.empty() ? "" : "] ");
  std::vfprintf(log_, format, args);
  std::fputc('\n', log_);
  // Written as the run goes, so that a crash or Ctrl-C keeps what came
  // before: every line at once, but exchanges at least every 50 ms, which
  // keeps a write per exchange off the update's time.
  const auto steady = std::chrono::steady_clock::now();
  if (flushNow || steady - lastFlush_ >= std::chrono::milliseconds(50)) {
    std::fflush(log_);
    lastFlush_ = steady;
  }
}

void RunReport::logDeferred(const char* format, ...) {
  if (log_ == nullptr) return;
  va_list args;
  va_start(args, format);
  write(format, args, false);
  va_end(args);
}

void RunReport::interfaceListed(const HidInterfaceInfo& info, const char* mode) {
  log("interface %s %04x:%04x port=%s serial=%s usage %04x:%04x %s", info.node.c_str(),
      info.vendorId, info.productId, info.port.c_str(), info.serial.c_str(), info.usagePage,
      info.usage, mode);
  emit(JsonLine()
           .add("event", "interface")
           .add("node", info.node)
           .add("vid", hex16(info.vendorId))
           .add("pid", hex16(info.productId))
           .add("port", info.port)
           .add("serial", info.serial)
           .add("product", info.product)
           .add("usage-page", hex16(info.usagePage))
           .add("usage", hex16(info.usage))
           .add("mode", mode));
}

void RunReport::versionAnswered(const HidDevice& device, TransactionStatus status,
                                const std::string& model, const std::string& version) {
  log("version of %s (port %s): %s model=\"%s\" version=\"%s\"", device.path.c_str(),
      device.port.c_str(), statusName(status), model.c_str(), version.c_str());
  JsonLine object = deviceObject("version", device);
  object.add("ok", status == kTransactionOk);
  if (status == kTransactionOk)
    object.add("model", model).add("version", version);
  else
    object.add("reason", status == kTransactionTimeout ? "no-answer" : "failed");
  emit(object);
}

void RunReport::finishedWith(int status) {
  log("exit status %d", status);
  if (log_ != nullptr) std::fclose(log_);
  log_ = nullptr;
}

void RunReport::deviceListed(const HidDevice& device) {
  log("listed %s %04x:%04x %s port=%s serial=%s", device.path.c_str(), device.vendorId,
      device.productId, device.mode == kModeBootloader ? "bootloader" : "application",
      device.port.c_str(), device.serial.c_str());
}

void RunReport::versionRead(const HidDevice& device, const std::string& model,
                            const std::string& version) {
  log("version of %s: model=\"%s\" version=\"%s\"", device.path.c_str(), model.c_str(),
      version.c_str());
}

void RunReport::deviceSelected(const HidDevice& device, const std::string& model,
                               const std::string& version) {
  log("selected %s port=%s serial=%s", device.path.c_str(), device.port.c_str(),
      device.serial.c_str());
  emit(deviceObject("selected", device).add("model", model).add("version", version));
}

void RunReport::stateChanged(uint32_t from, uint32_t to) {
  log("state %u -> %u", from, to);
}

void RunReport::switching() {
  log("switching into the bootloader");
  emit(JsonLine().add("event", "switch"));
}

void RunReport::bootloaderConnected(const HidDevice& device) {
  log("bootloader %s port=%s serial=%s", device.path.c_str(), device.port.c_str(),
      device.serial.c_str());
  emit(deviceObject("bootloader", device));
}

void RunReport::protocolVersion(uint16_t version, uint8_t capabilities) {
  log("protocol version %u, capabilities 0x%02x", version, capabilities);
  emit(JsonLine()
           .add("event", "protocol")
           .add("version", int64_t{version})
           .add("capabilities", int64_t{capabilities}));
}

void RunReport::progress(uint32_t percent) {
  emit(JsonLine().add("event", "progress").add("percent", int64_t{percent}));
}

void RunReport::verified(bool ok) {
  log("verify %s", ok ? "passed" : "failed");
  emit(JsonLine().add("event", "verify").add("ok", ok));
}

void RunReport::finished(const UpdateResult& result) {
  const bool ok = result.outcome == UpdateOutcome::kUpdated;
  log("outcome: %s, state %u%s%s", updateOutcomeName(result.outcome), result.state,
      result.detail.empty() ? "" : ": ", result.detail.c_str());
  emit(updateResultObject(result, ok));
}

void RunReport::exchanged(const ExchangeRecord& record) {
  if (log_ == nullptr) return;
  // A chunk may be sent up to six times: which send this was.
  char send[24] = "";
  if (record.request[kOffsetPayload] == CmdWriteData)
    std::snprintf(send, sizeof send, ", send %u", static_cast<unsigned>(gContext.retryCount) + 1);
  char request[2 * kReportSize + 1], response[2 * kReportSize + 1] = "-";
  hexBytes(record.request, kReportSize, request);
  if (record.response != nullptr) hexBytes(record.response, kReportSize, response);
  logDeferred("exchange %s %s -> %s%s, %lld us", statusName(record.status), request, response, send,
              static_cast<long long>(record.microseconds));
}

JsonLine updateResultObject(const UpdateResult& result, bool ok) {
  JsonLine object;
  object.add("event", "result")
      .add("ok", ok)
      .add("reason", updateOutcomeName(result.outcome))
      .add("state", int64_t{result.state})
      .add("message", result.message)
      .add("port", result.port)
      .add("serial", result.serial)
      .add("version-before", result.versionBefore);
  if (!result.detail.empty()) object.add("detail", result.detail);
  if (result.outcome == UpdateOutcome::kWrite) object.add("offset", int64_t{result.offset});
  return object;
}
