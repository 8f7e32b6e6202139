#include "sim/sim_host.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>

#include "protocol/command_codes.h"

size_t SimHost::addDevice(const DeviceModelConfig& config, const std::string& name,
                          const std::string& port, const std::string& serial, int64_t appearAtUs) {
  auto device = std::make_unique<Device>();
  device->name = name;
  device->port = port.empty() ? "sim-" + std::to_string(devices_.size()) : port;
  char stableSerial[16];
  std::snprintf(stableSerial, sizeof stableSerial, "SIM%04zu", devices_.size() + 1);
  device->serial = serial.empty() ? stableSerial : serial;
  device->model = std::make_unique<DeviceModel>(config);
  devices_.push_back(std::move(device));
  const size_t index = devices_.size() - 1;
  if (appearAtUs >= 0) {
    devices_[index]->recreateAtUs = appearAtUs;
    devices_[index]->freshBoard = true;
  } else {
    show(*devices_[index], index);
  }
  return index;
}

void SimHost::scheduleUnplug(size_t index, int64_t atUs) {
  devices_[index]->unplugAtUs = atUs;
}

bool SimHost::show(Device& device, size_t index) {
  SimIdentity identity;
  identity.name = device.name;
  identity.port = device.port;
  identity.serial = device.serial;
  identity.vendorId = device.model->vendorId();
  identity.productId = device.model->productId();
  device.present = driver_.createDevice(index, identity);
  return device.present;
}

void SimHost::takeDown(Device& device, size_t index, int64_t nowUs) {
  // Answers already sent are on their way and still arrive; those the device
  // had not sent yet are lost with it, as on a device that resets.
  for (const Pending& p : device.pending)
    if (p.leaveUs <= nowUs) deliver(index, p, nowUs);
  device.pending.clear();
  device.behindNext.clear();
  if (frameLog_ != nullptr) std::fflush(frameLog_);
  driver_.destroyDevice(index);
  device.present = false;
}

void SimHost::unplug(size_t index) {
  Device& device = *devices_[index];
  device.pending.clear();
  device.behindNext.clear();
  device.recreateAtUs = -1;
  device.unplugAtUs = -1;
  if (!device.present) return;
  driver_.destroyDevice(index);
  device.present = false;
}

void SimHost::logFrame(size_t index, const uint8_t* data, size_t size) {
  if (frameLog_ == nullptr) return;
  std::fprintf(frameLog_, "%zu %s ", index,
               devices_[index]->model->mode() == kModeBootloader ? "boot" : "app");
  for (size_t i = 0; i < size; ++i) std::fprintf(frameLog_, "%02x", data[i]);
  std::fputc('\n', frameLog_);
}

int64_t SimHost::arrivalUs(int64_t leaveUs) const {
  const int64_t offWire = leaveUs + latencyUs_;
  if (pollIntervalUs_ <= 0) return offWire;
  return (offWire + pollIntervalUs_ - 1) / pollIntervalUs_ * pollIntervalUs_;
}

void SimHost::receive(size_t index, const uint8_t* data, size_t size, int64_t nowUs) {
  Device& device = *devices_[index];
  if (!device.present || !device.taking) return;
  logFrame(index, data, size);
  if (device.freshSinceUs >= 0) {
    arrivals_.emplace_back(index, nowUs - device.freshSinceUs);
    device.freshSinceUs = -1;
  }
  if (size > kOffsetPayload && data[kOffsetReportId] == kRequestReportId &&
      data[kOffsetPayload] == CmdWriteData) {
    if (device.dataFrames == 0) device.firstDataUs = nowUs;
    // Windows of kStatsWindow frames, each starting where the last ended.
    if (device.dataFrames % (kStatsWindow - 1) == 0) {
      const int64_t window = nowUs - device.windowStartUs;
      if (device.dataFrames > 0 && (device.bestWindowUs < 0 || window < device.bestWindowUs))
        device.bestWindowUs = window;
      device.windowStartUs = nowUs;
    }
    ++device.dataFrames;
    device.lastDataUs = nowUs;
  }
  const DeviceReply reply = device.model->receive(data, size);
  size_t frame = kNoFrame;
  if (recordFrames_) {
    TakenFrame taken;
    std::memcpy(taken.frame.data(), data, std::min<size_t>(size, kReportSize));
    taken.takenUs = nowUs;
    taken.imageBytes = device.model->storedImage().size();
    device.taken.push_back(taken);
    frame = device.taken.size() - 1;
  }
  // The device works through its requests one at a time: an answer leaves
  // no earlier than the one before it, however promptly it was made.
  int64_t leaveUs = nowUs + int64_t{reply.delayMs} * 1000;
  if (!device.pending.empty()) leaveUs = std::max(leaveUs, device.pending.back().leaveUs);
  std::vector<Pending> out;
  for (const Report& report : reply.reports) out.push_back({leaveUs, 0, report, frame});
  if (reply.behindNext) {
    device.behindNext.insert(device.behindNext.end(), reply.reports.begin(), reply.reports.end());
    device.behindNextFrame = frame;
    out.clear();
  } else {
    for (const Report& report : device.behindNext)
      out.push_back({leaveUs, 0, report, device.behindNextFrame});
    device.behindNext.clear();
  }
  for (Pending& p : out) {
    p.arriveUs = arrivalUs(leaveUs);
    if (p.arriveUs <= nowUs && device.pending.empty())
      deliver(index, p, nowUs);
    else
      device.pending.push_back(p);
  }
  if (reply.event == DeviceModelEvent::kNone) return;
  if (reply.event == DeviceModelEvent::kStopTaking) {
    device.taking = false;
    device.stoppedTakingUs = nowUs;
    driver_.stopTaking(index);
    return;
  }
  takeDown(device, index, nowUs);
  if (reply.event == DeviceModelEvent::kTakenOut) {
    // The next board: the same kind, fresh, with a serial of its own.
    ++device.boards;
    device.model = std::make_unique<DeviceModel>(device.model->config());
    const size_t dash = device.serial.rfind('-');
    if (device.boards > 2 && dash != std::string::npos) device.serial.resize(dash);
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "-%u", device.boards);
    device.serial.append(suffix);
    device.freshBoard = true;
  }
  if (reply.event != DeviceModelEvent::kVanish) {
    ++device.generation;
    device.recreateAtUs = nowUs + int64_t{reply.eventDelayMs} * 1000;
  }
}

int64_t SimHost::holdUs(size_t index, const uint8_t* data, size_t size) const {
  const Device& device = *devices_[index];
  if (!device.present) return 0;  // the carrier fails the write
  if (!device.taking) return kNeverTaken;
  return int64_t{device.model->holdMs(data, size)} * 1000;
}

void SimHost::deliver(size_t index, const Pending& pending, int64_t atUs) {
  driver_.sendInput(index, pending.report);
  Device& device = *devices_[index];
  if (pending.taken != kNoFrame && device.taken[pending.taken].answerUs < 0)
    device.taken[pending.taken].answerUs = atUs;
}

void SimHost::advance(int64_t nowUs) {
  for (size_t i = 0; i < devices_.size(); ++i) {
    Device& device = *devices_[i];
    while (!device.pending.empty() && device.pending.front().arriveUs <= nowUs) {
      const Pending pending = device.pending.front();
      device.pending.pop_front();
      deliver(i, pending, pending.arriveUs);
    }
    if (device.recreateAtUs >= 0 && device.recreateAtUs <= nowUs) {
      device.recreateAtUs = -1;
      device.freshSinceUs = device.freshBoard ? nowUs : -1;
      device.freshBoard = false;
      show(device, i);
    }
    if (device.unplugAtUs >= 0 && device.unplugAtUs <= nowUs) unplug(i);
  }
}

int SimHost::advanceAndWaitMs(int64_t nowUs, int maxWaitMs) {
  advance(nowUs);
  const int64_t due = nextDueUs();
  if (due < 0) return maxWaitMs;
  if (due <= nowUs) return 0;
  return static_cast<int>(std::min<int64_t>(maxWaitMs, (due - nowUs + 999) / 1000));
}

int64_t SimHost::nextDueUs() const {
  int64_t next = -1;
  auto consider = [&next](int64_t at) {
    if (at >= 0 && (next < 0 || at < next)) next = at;
  };
  for (const auto& device : devices_) {
    if (!device->pending.empty()) consider(device->pending.front().arriveUs);
    consider(device->recreateAtUs);
    consider(device->unplugAtUs);
  }
  return next;
}

std::string SimHost::arrivalsText() const {
  std::string text;
  for (const auto& [index, delayUs] : arrivals_) {
    char line[80];
    std::snprintf(line, sizeof line, "arrival %zu first-report-us %" PRId64 "\n", index, delayUs);
    text += line;
  }
  return text;
}

std::string SimHost::statsText() const {
  std::string text;
  for (size_t i = 0; i < devices_.size(); ++i) {
    const Device& device = *devices_[i];
    const int64_t span = device.lastDataUs - device.firstDataUs;
    const double perExchange =
        device.dataFrames > 1 ? double(span) / double(device.dataFrames - 1) : 0.0;
    const double bestWindow =
        device.bestWindowUs < 0 ? 0.0 : double(device.bestWindowUs) / double(kStatsWindow - 1);
    char line[200];
    std::snprintf(line, sizeof line,
                  "device %zu data-frames %" PRIu64 " span-us %" PRId64
                  " per-exchange-us %.1f best-window-us %.1f\n",
                  i, device.dataFrames, span, perExchange, bestWindow);
    text += line;
    if (device.stoppedTakingUs >= 0) {
      text.pop_back();
      text += " stopped-taking-us " + std::to_string(device.stoppedTakingUs) + "\n";
    }
  }
  return text;
}

bool SimHost::writeImages(const std::string& path) const {
  bool ok = true;
  for (size_t i = 0; i < devices_.size(); ++i) {
    const std::vector<uint8_t>& image = devices_[i]->model->storedImage();
    if (i > 0 && image.empty()) continue;
    const std::string name = i == 0 ? path : path + "." + std::to_string(i);
    FILE* f = std::fopen(name.c_str(), "wb");
    if (f == nullptr) {
      ok = false;
      continue;
    }
    if (!image.empty() && std::fwrite(image.data(), 1, image.size(), f) != image.size()) ok = false;
    if (std::fclose(f) != 0) ok = false;
  }
  return ok;
}
