#include "app/run_report.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "app/command_line.h"
#include "app/exit_status.h"
#include "app/message.h"
#include "common/files.h"
#include "hid/hid_device.h"
#include "update/commands.h"
#include "update/update_result.h"
#include "update/update_session.h"

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
  // Close errors count too: they are how a full disk shows up.
  if (std::fclose(log_) != 0) logLost_ = true;
  log_ = nullptr;
}

void RunReport::flushLog() {
  if (!logLost_ &&
      (std::fwrite(pending_.data(), 1, pendingLength_, log_) != pendingLength_ ||
       std::fflush(log_) != 0))
    logLost_ = true;
  pendingLength_ = 0;
}

bool RunReport::start(const CommandLine& line, int argc, const char* const* argv) {
  json_ = line.json;
  if (line.logPath.empty()) return true;
  logPath_ = line.logPath;
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
  if (logLost_) return;
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
      info.vendorId, info.productId, printableText(info.port).c_str(),
      printableText(info.serial).c_str(), info.usagePage, info.usage, mode);
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

int RunReport::finishedWith(int status) {
  // Told after the run's own work has ended: output that did not arrive
  // never stops an update.
  status = statusWithOutputChecked(status);
  log("", "exit status %d", status);
  std::lock_guard<std::mutex> lock(mutex_);
  closeLog();
  if (!logLost_) return status;
  message("Error: cannot write the log file %s\n", logPath_.c_str());
  return status == kExitSuccess ? kExitFailure : status;
}

void RunReport::logExchange(const std::string& port, const ExchangeRecord& record,
                            const std::string& systemError) {
  if (log_ == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (logLost_) return;
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
  put(" us");
  // What the system said of a failure; a line of the log holds its start.
  if (!systemError.empty()) {
    const std::string why = printableText(systemError);
    const size_t room = static_cast<size_t>(line + sizeof line - at) - 4;
    put(": ");
    const size_t n = std::min(why.size(), room);
    std::memcpy(at, why.data(), n);
    at += n;
  }
  *at++ = '\n';
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
    lines += "[" + shownPort_ + "] " + partial_ + "\n";
    partial_.clear();
  }
  if (!lines.empty()) report_.console(lines);
}

void SessionReport::flushConsole() {
  if (!style_.gang || partial_.empty()) return;
  report_.console("[" + shownPort_ + "] " + partial_ + "\n");
  partial_.clear();
}

void SessionReport::traceWord(const char* word) {
  if (style_.traceWord && !report_.json()) outputText(word);
}

void SessionReport::note(const char* text) {
  report_.log(style_.logPort, "note: %s", text);
}

void SessionReport::deviceListed(const HidDevice& device) {
  report_.log(shownPort_, "listed %s %04x:%04x %s port=%s serial=%s", device.path.c_str(),
              device.vendorId, device.productId,
              device.mode == kModeBootloader ? "bootloader" : "application",
              printableText(device.port).c_str(), printableText(device.serial).c_str());
}

void SessionReport::versionAnswered(const HidDevice& device, TransactionStatus status,
                                    const std::string& model, const std::string& version) {
  report_.log(shownPort_, "version of %s (port %s): %s model=\"%s\" version=\"%s\"",
              device.path.c_str(), printableText(device.port).c_str(), statusName(status),
              printableText(model).c_str(), printableText(version).c_str());
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
  report_.log(shownPort_, "selected %s port=%s serial=%s", device.path.c_str(),
              printableText(device.port).c_str(), printableText(device.serial).c_str());
  emit(deviceObject("selected", device).add("model", model).add("version", version));
}

void SessionReport::stateChanged(uint32_t from, uint32_t to) {
  report_.log(shownPort_, "state %u -> %u", from, to);
}

void SessionReport::switching() {
  report_.log(shownPort_, "switching into the bootloader");
  emit(JsonLine().add("event", "switch"));
}

void SessionReport::bootloaderConnected(const HidDevice& device) {
  report_.log(shownPort_, "bootloader %s port=%s serial=%s", device.path.c_str(),
              printableText(device.port).c_str(), printableText(device.serial).c_str());
  emit(deviceObject("bootloader", device));
}

void SessionReport::protocolVersion(uint16_t version, uint8_t capabilities) {
  report_.log(shownPort_, "protocol version %u, capabilities 0x%02x", version, capabilities);
  emit(JsonLine()
           .add("event", "protocol")
           .add("version", int64_t{version})
           .add("capabilities", int64_t{capabilities}));
}

void SessionReport::progress(uint32_t percent) {
  emit(JsonLine().add("event", "progress").add("percent", int64_t{percent}));
}

void SessionReport::verified(bool ok) {
  report_.log(shownPort_, "verify %s", ok ? "passed" : "failed");
  emit(JsonLine().add("event", "verify").add("ok", ok));
}

void SessionReport::finished(const UpdateResult& result) {
  flushConsole();
  if (!result.sha256.empty())
    report_.log(shownPort_, "file sha256 %s, %s%s", result.sha256.c_str(),
                result.keyId.empty() ? "signature not checked" : "signed by trusted key ",
                result.keyId.c_str());
  report_.log(shownPort_, "outcome: %s, state %u%s%s", updateOutcomeName(result.outcome),
              result.state, result.detail.empty() ? "" : ": ",
              printableText(result.detail).c_str());
  emit(updateResultObject(result));
}

void SessionReport::interfaceNotOpened(const std::string& node, const std::string& why) {
  report_.log(shownPort_, "cannot open %s: %s", node.c_str(), printableText(why).c_str());
}

void SessionReport::exchanged(const ExchangeRecord& record) {
  // A failed exchange names the system's reason, which its connection keeps
  // (a time-out is the device's silence: the system has none).
  if (record.status == kTransactionFailed && record.device != nullptr && record.device->handle)
    report_.logExchange(shownPort_, record, record.device->handle->lastError());
  else
    report_.logExchange(shownPort_, record);
}

JsonLine updateResultObject(const UpdateResult& result) {
  // The message as printed, but a JSON value carries no line end.
  const std::string message = reportedMessage(result.message);
  // Milliseconds by hand: a locale's decimal comma would not be JSON.
  const auto ms = static_cast<long long>(std::max(result.seconds, 0.0) * 1000 + 0.5);
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%lld.%03lld", ms / 1000, ms % 1000);
  JsonLine object;
  object.add("event", "result")
      .add("ok", result.succeeded())
      .add("reason", updateOutcomeName(result.outcome))
      .add("state", int64_t{result.state})
      .add("state-name", sessionStateName(result.state))
      .add("message", message)
      .add("port", result.port)
      .add("serial", result.serial)
      .add("version-before", result.versionBefore)
      .add("file-model", result.fileModel)
      .add("file-version", result.fileVersion)
      .addRaw("seconds", seconds);
  if (!result.ports.empty()) {
    std::string ports;
    for (const std::string& port : result.ports) {
      ports += ports.empty() ? '[' : ',';
      ports += jsonString(port);
    }
    object.addRaw("ports", ports + "]");
  }
  if (!result.detail.empty()) object.add("detail", result.detail);
  if (result.outcome == UpdateOutcome::kWrite) object.add("offset", int64_t{result.offset});
  if (!result.sha256.empty()) object.add("sha256", result.sha256);
  if (!result.keyId.empty()) object.add("key-id", result.keyId);
  return object;
}
