#include "app/station_view.h"

#include <algorithm>
#include <cstdio>

#include "common/printable_text.h"
#include "app/message.h"
#include "app/run_report.h"

namespace {

constexpr int kBarWidth = 20;

std::string bar(int percent) {
  if (percent < 0) return std::string(kBarWidth + 8, ' ');
  char text[kBarWidth + 32];
  text[0] = '[';
  const int filled = percent * kBarWidth / 100;
  for (int i = 0; i < kBarWidth; ++i) text[1 + i] = i < filled ? '#' : '-';
  std::snprintf(text + kBarWidth + 1, sizeof text - kBarWidth - 1, "] %3d%% ", percent);
  return text;
}

std::string padded(const std::string& text, size_t width) {
  return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

}  // namespace

int64_t unitsPerHour(uint32_t units, int64_t elapsedMs) {
  if (elapsedMs < 1000) return 0;
  return static_cast<int64_t>(units) * 3600 * 1000 / elapsedMs;
}

void StationView::portState(const std::string& port, const std::string& state, int percent) {
  std::lock_guard<std::mutex> lock(mutex_);
  Port& entry = ports_[port];
  if (entry.state == state && entry.percent == percent) return;
  entry.state = state;
  entry.percent = percent;
  dirty_ = true;
}

void StationView::unitEnded(const UnitRecord& record, uint32_t unit, const std::string& why) {
  char text[96];
  std::snprintf(text, sizeof text, "%u attempt%s, %.1f s", record.attempts,
                record.attempts == 1 ? "" : "s", record.seconds);
  const std::string serial = record.serial.empty() ? "no serial" : "serial " + record.serial;
  char number[32];
  std::snprintf(number, sizeof number, "] unit %u: ", unit);
  std::string line = "[" + record.port + number +
                     (record.updated ? "updated" : "failed (" + record.reason + ")") + ", " +
                     serial + ", " + text;
  if (!record.updated && !why.empty()) line += ": " + why;
  line = printableText(line);
  std::lock_guard<std::mutex> lock(mutex_);
  (record.updated ? updated_ : failed_) += 1;
  Port& entry = ports_[record.port];
  entry.last = (record.updated ? "updated " : "failed ") + record.serial + " (" + text + ")";
  dirty_ = true;
  switch (output_) {
    case StationOutput::kJson: {
      report_.emit(
          unitRecordObject(record, JsonLine().add("event", "unit").add("unit", int64_t{unit})),
          record.port);
      break;
    }
    case StationOutput::kLive:
      above_.push_back(line);
      break;
    case StationOutput::kLines:
      outputText((line + "\n").c_str());
      break;
  }
}

void StationView::note(const std::string& text) {
  report_.log("", "%s", text.c_str());
  std::lock_guard<std::mutex> lock(mutex_);
  if (output_ == StationOutput::kLive) {
    above_.push_back(text);
    dirty_ = true;
  } else {
    messageText((text + "\n").c_str());
  }
}

std::string StationView::countsText(int64_t nowMs) const {
  char text[128];
  std::snprintf(text, sizeof text, "Station: %u updated, %u failed, %lld units per hour", updated_,
                failed_,
                static_cast<long long>(unitsPerHour(updated_ + failed_, nowMs - startMs_)));
  return text;
}

void StationView::draw(int64_t nowMs) {
  std::string text;
  // Back to the top of the view, then everything below it anew.
  if (drawnLines_ > 0) {
    char up[32];
    std::snprintf(up, sizeof up, "\r\x1b[%zuA", drawnLines_);
    text += up;
  }
  for (const std::string& line : above_) text += line + "\x1b[K\n";
  above_.clear();
  size_t width = 8;
  for (const auto& [port, entry] : ports_) width = std::max(width, port.size() + 2);
  for (const auto& [port, entry] : ports_) {
    text += padded(printableText(port), width) + padded(entry.state, 24) + bar(entry.percent) +
            printableText(entry.last) + "\x1b[K\n";
  }
  text += countsText(nowMs) + "\x1b[K\n";
  drawnLines_ = ports_.size() + 1;
  outputText(text.c_str());
  dirty_ = false;
}

void StationView::refresh(int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (startMs_ < 0) startMs_ = nowMs;
  if (output_ == StationOutput::kLive && dirty_) draw(nowMs);
}

void StationView::finish(int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (startMs_ < 0) startMs_ = nowMs;
  if (output_ == StationOutput::kLive) {
    draw(nowMs);
    return;
  }
  if (output_ == StationOutput::kJson) {
    report_.emit(JsonLine()
                     .add("event", "station")
                     .add("updated", int64_t{updated_})
                     .add("failed", int64_t{failed_})
                     .add("units-per-hour", unitsPerHour(updated_ + failed_, nowMs - startMs_)));
    return;
  }
  outputText((countsText(nowMs) + "\n").c_str());
}
