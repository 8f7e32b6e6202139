#include "app/run_report.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "app/command_line.h"
#include "app/message.h"
#include "common/files.h"
#include "hid/hid_device.h"
#include "update/commands.h"
#include "update/update_result.h"

namespace {

std::string hex16(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value);
  return text;
}

// Both hex digits of every byte value, side by side.
constexpr std::array<char, 512> kHexPairs = [] {
  std::array<char, 512> pairs{};
  const char* digits = "0123456789abcdef";
  for (size_t value = 0; value < 256; ++value) {
    pairs[2 * value] = digits[value >> 4];
    pairs[2 * value + 1] = digits[value & 15];
  }
  return pairs;
}();

// out holds 2 * size characters.
void hexBytes(const uint8_t* data, size_t size, char* out) {
  for (size_t i = 0; i < size; ++i, out += 2) std::memcpy(out, &kHexPairs[2 * data[i]], 2);
}

// out holds 20 characters. Returns the number written.
size_t decimalText(uint64_t value, char* out) {
  char digits[20];
  size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (size_t i = 0; i < count; ++i) out[i] = digits[count - 1 - i];
  return count;
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

RunReport::~RunReport() { closeLog(); }

void RunReport::closeLog() {
  if (log_ == nullptr) return;
  flushLog();
  std::fclose(log_);
  log_ = nullptr;
}

void RunReport::flushLog() {
  std::fwrite(pending_.data(), 1, pendingLength_, log_);
  std::fflush(log_);
  pendingLength_ = 0;
}

bool RunReport::start(const CommandLine& line, int argc, const char* const* argv) {
  json_ = line.json;
  if (line.logPath.empty()) return true;
  log_ = openFile(line.logPath, "ab");
  if (log_ == nullptr) {
    message("Error: cannot open the log file %s\n", line.logPath.c_str());
    return false;
  }
  wallOrigin_ = std::chrono::system_clock::now();
  steadyOrigin_ = std::chrono::steady_clock::now();
  std::string words;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) words += ' ';
    words += argv[i];
  }
  log("", "run: %s", words.c_str());
  return true;
}

void RunReport::emit(const JsonLine& object, const std::string& device) {
  if (!json_) return;
  const std::string text = object.text();
  std::lock_guard<std::mutex> lock(mutex_);
  if (device.empty())
    output("%s\n", text.c_str());
  else
    output("{\"device\":%s,%s\n", jsonString(device).c_str(), text.c_str() + 1);
}

void RunReport::console(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  messageText(text.c_str());
}

void RunReport::log(const std::string& port, const char* format, ...) {
  if (log_ == nullptr) return;
  const auto when = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  char line[1024];
  size_t length = stampText(when, port, line);
  va_list args;
  va_start(args, format);
  const int body = std::vsnprintf(line + length, sizeof line - length - 1, format, args);
  va_end(args);
  if (body > 0) length += std::min<size_t>(static_cast<size_t>(body), sizeof line - length - 2);
  line[length++] = '\n';
  writeLine(line, length, true, when);
}

size_t RunReport::stampText(std::chrono::steady_clock::time_point when, const std::string& port,
                            char* out) {
  // The wall clock is read once; every line's time follows the steady clock
  // from there, which an exchange has read already.
  const auto now = wallOrigin_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                     when - steadyOrigin_);
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  // The date and time change once a second; exchanges come far more often.
  if (seconds != stampSeconds_) {
    stampSeconds_ = seconds;
    std::strftime(stamp_, sizeof stamp_, "%Y-%m-%dT%H:%M:%S", std::gmtime(&seconds));
  }
  auto micros = static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() %
      1000000);
  const size_t length = std::strlen(stamp_);
  std::memcpy(out, stamp_, length);
  char* at = out + length;
  *at++ = '.';
  for (int digit = 5; digit >= 0; --digit, micros /= 10)
    at[digit] = static_cast<char>('0' + micros % 10);
  at += 6;
  *at++ = 'Z';
  *at++ = ' ';
  // Each session of a parallel update writes its port in front.
  if (!port.empty()) {
    *at++ = '[';
    const size_t size = std::min<size_t>(port.size(), 64);
    std::memcpy(at, port.data(), size);
    at += size;
    *at++ = ']';
    *at++ = ' ';
  }
  return static_cast<size_t>(at - out);
}

void RunReport::writeLine(const char* line, size_t length, bool flushNow,
                          std::chrono::steady_clock::time_point when) {
  if (pendingLength_ + length > pending_.size()) flushLog();
  std::memcpy(pending_.data() + pendingLength_, line, length);
  pendingLength_ += length;
  // Written as the run goes, so that a crash or Ctrl-C keeps what came
  // before: every line at once, but exchanges at least every 50 ms, which
  // keeps a write per exchange off the update's time.
  if (flushNow || when - lastFlush_ >= std::chrono::milliseconds(50)) {
    flushLog();
    lastFlush_ = when;
  }
}

void RunReport::interfaceListed(const HidInterfaceInfo& info, const char* mode) {
  log("", "interface %s %04x:%04x port=%s serial=%s usage %04x:%04x %s", info.node.c_str(),
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

void RunReport::finishedWith(int status) {
  log("", "exit status %d", status);
  std::lock_guard<std::mutex> lock(mutex_);
  closeLog();
}

void RunReport::logExchange(const std::string& port, const ExchangeRecord& record) {
  if (log_ == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex_);
  // Put together by hand: one line per exchange must cost the update next to
  // nothing, and formatted printing of it was a few per cent of an exchange.
  char line[512];
  char* at = line + stampText(record.end, port, line);
  auto put = [&at](const char* text) {
    const size_t n = std::strlen(text);
    std::memcpy(at, text, n);
    at += n;
  };
  put("exchange ");
  put(statusName(record.status));
  *at++ = ' ';
  hexBytes(record.request, kReportSize, at);
  at += 2 * kReportSize;
  put(" -> ");
  if (record.response != nullptr) {
    hexBytes(record.response, kReportSize, at);
    at += 2 * kReportSize;
  } else {
    *at++ = '-';
  }
  // A chunk may be sent up to six times: which send this was.
  if (record.request[kOffsetPayload] == CmdWriteData) {
    put(", send ");
    *at++ = static_cast<char>('0' + record.send % 10);
  }
  // A write the system held past its second: what this send did about it.
  if (record.write == ExchangeWrite::kHeldBefore) put(", the held write of an earlier send");
  if (record.write == ExchangeWrite::kNotWritten) put(", not written (an earlier write held)");
  put(", ");
  at += decimalText(static_cast<uint64_t>(std::max<int64_t>(record.microseconds, 0)), at);
  put(" us\n");
  writeLine(line, static_cast<size_t>(at - line), false, record.end);
}

void SessionReport::emit(const JsonLine& object) {
  report_.emit(object, style_.gang ? style_.logPort : std::string());
}

void SessionReport::message(const char* text) {
  if (!style_.gang) {
    messageText(text);
    return;
  }
  // Whole lines, each with the port in front. A carriage return ends a line
  // too: the progress of several devices cannot overwrite each other.
  std::string lines;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c != '\n' && *c != '\r') {
      partial_ += *c;
      continue;
    }
    lines += "[" + style_.logPort + "] " + partial_ + "\n";
    partial_.clear();
  }
  if (!lines.empty()) report_.console(lines);
}

void SessionReport::flushConsole() {
  if (!style_.gang || partial_.empty()) return;
  report_.console("[" + style_.logPort + "] " + partial_ + "\n");
  partial_.clear();
}

void SessionReport::traceWord(const char* word) {
  if (style_.traceWord && !report_.json()) outputText(word);
}

void SessionReport::deviceListed(const HidDevice& device) {
  report_.log(style_.logPort, "listed %s %04x:%04x %s port=%s serial=%s", device.path.c_str(),
              device.vendorId, device.productId,
              device.mode == kModeBootloader ? "bootloader" : "application", device.port.c_str(),
              device.serial.c_str());
}

void SessionReport::versionAnswered(const HidDevice& device, TransactionStatus status,
                                    const std::string& model, const std::string& version) {
  report_.log(style_.logPort, "version of %s (port %s): %s model=\"%s\" version=\"%s\"",
              device.path.c_str(), device.port.c_str(), statusName(status), model.c_str(),
              version.c_str());
  if (!style_.versionEvents) return;
  JsonLine object = deviceObject("version", device);
  object.add("ok", status == kTransactionOk);
  if (status == kTransactionOk)
    object.add("model", model).add("version", version);
  else
    object.add("reason", status == kTransactionTimeout ? "no-answer" : "failed");
  emit(object);
}

void SessionReport::deviceSelected(const HidDevice& device, const std::string& model,
                                   const std::string& version) {
  report_.log(style_.logPort, "selected %s port=%s serial=%s", device.path.c_str(),
              device.port.c_str(), device.serial.c_str());
  emit(deviceObject("selected", device).add("model", model).add("version", version));
}

void SessionReport::stateChanged(uint32_t from, uint32_t to) {
  report_.log(style_.logPort, "state %u -> %u", from, to);
}

void SessionReport::switching() {
  report_.log(style_.logPort, "switching into the bootloader");
  emit(JsonLine().add("event", "switch"));
}

void SessionReport::bootloaderConnected(const HidDevice& device) {
  report_.log(style_.logPort, "bootloader %s port=%s serial=%s", device.path.c_str(),
              device.port.c_str(), device.serial.c_str());
  emit(deviceObject("bootloader", device));
}

void SessionReport::protocolVersion(uint16_t version, uint8_t capabilities) {
  report_.log(style_.logPort, "protocol version %u, capabilities 0x%02x", version, capabilities);
  emit(JsonLine()
           .add("event", "protocol")
           .add("version", int64_t{version})
           .add("capabilities", int64_t{capabilities}));
}

void SessionReport::progress(uint32_t percent) {
  emit(JsonLine().add("event", "progress").add("percent", int64_t{percent}));
}

void SessionReport::verified(bool ok) {
  report_.log(style_.logPort, "verify %s", ok ? "passed" : "failed");
  emit(JsonLine().add("event", "verify").add("ok", ok));
}

void SessionReport::finished(const UpdateResult& result) {
  flushConsole();
  report_.log(style_.logPort, "outcome: %s, state %u%s%s", updateOutcomeName(result.outcome),
              result.state, result.detail.empty() ? "" : ": ", result.detail.c_str());
  emit(updateResultObject(result));
}

void SessionReport::exchanged(const ExchangeRecord& record) {
  report_.logExchange(style_.logPort, record);
}

JsonLine updateResultObject(const UpdateResult& result) {
  JsonLine object;
  object.add("event", "result")
      .add("ok", result.updated())
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
