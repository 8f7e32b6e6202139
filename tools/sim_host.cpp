#include "tools/sim_host.h"

#include <cinttypes>

namespace {
constexpr uint8_t kCmdWriteData = 0x64;
}

SimHost::SimHost(const SimOptions& options, SimKernel& kernel, std::string uniqPrefix,
                 FILE* frameLog)
    : kernel_(kernel), uniqPrefix_(std::move(uniqPrefix)), frameLog_(frameLog) {
  for (const SimDeviceOptions& d : options.devices) {
    auto dev = std::make_unique<Device>();
    dev->name = d.name;
    dev->model = std::make_unique<DeviceModel>(d.model);
    devices_.push_back(std::move(dev));
  }
}

std::string SimHost::uniq(size_t index) const {
  return uniqPrefix_ + "-" + std::to_string(index) + "-" +
         std::to_string(devices_[index]->generation);
}

bool SimHost::create(size_t index) {
  Device& dev = *devices_[index];
  UhidIdentity identity;
  identity.name = dev.name;
  identity.uniq = uniq(index);
  identity.vendor = dev.model->vendorId();
  identity.product = dev.model->productId();
  identity.descriptor = bootloaderReportDescriptor();
  dev.present = kernel_.createDevice(index, identity);
  return dev.present;
}

bool SimHost::start(int64_t) {
  for (size_t i = 0; i < devices_.size(); ++i)
    if (!create(i)) return false;
  return true;
}

void SimHost::logFrame(size_t index, const uint8_t* data, size_t size) {
  if (frameLog_ == nullptr) return;
  std::fprintf(frameLog_, "%zu %s ", index,
               devices_[index]->model->mode() == kModeBootloader ? "boot" : "app");
  for (size_t i = 0; i < size; ++i) std::fprintf(frameLog_, "%02x", data[i]);
  std::fputc('\n', frameLog_);
}

void SimHost::receive(size_t index, const uint8_t* data, size_t size, int64_t nowUs) {
  Device& dev = *devices_[index];
  if (!dev.present) return;
  logFrame(index, data, size);
  if (size > kOffsetPayload && data[0] == kRequestReportId &&
      data[kOffsetPayload] == kCmdWriteData) {
    if (dev.dataFrames++ == 0) dev.firstDataUs = nowUs;
    dev.lastDataUs = nowUs;
  }
  DeviceReply reply = dev.model->receive(data, size);
  for (const Report& report : reply.reports) {
    // Answers leave in order: one behind a late answer waits for it.
    if (reply.delayMs == 0 && dev.pending.empty())
      kernel_.sendInput(index, report);
    else
      dev.pending.push_back({nowUs + int64_t{reply.delayMs} * 1000, report});
  }
  if (reply.event == DeviceModelEvent::kNone) return;
  // The device goes away now; answers still waiting are lost with it, as on
  // a device that resets.
  if (frameLog_ != nullptr) std::fflush(frameLog_);
  dev.pending.clear();
  kernel_.destroyDevice(index);
  dev.present = false;
  if (reply.event == DeviceModelEvent::kReenumerate) {
    ++dev.generation;
    dev.recreateAtUs = nowUs + int64_t{reply.eventDelayMs} * 1000;
  }
}

void SimHost::advance(int64_t nowUs) {
  for (size_t i = 0; i < devices_.size(); ++i) {
    Device& dev = *devices_[i];
    while (!dev.pending.empty() && dev.pending.front().dueUs <= nowUs) {
      kernel_.sendInput(i, dev.pending.front().report);
      dev.pending.pop_front();
    }
    if (dev.recreateAtUs >= 0 && dev.recreateAtUs <= nowUs) {
      dev.recreateAtUs = -1;
      create(i);
    }
  }
}

int64_t SimHost::nextDueUs() const {
  int64_t next = -1;
  for (const auto& dev : devices_) {
    if (!dev->pending.empty() && (next < 0 || dev->pending.front().dueUs < next))
      next = dev->pending.front().dueUs;
    if (dev->recreateAtUs >= 0 && (next < 0 || dev->recreateAtUs < next)) next = dev->recreateAtUs;
  }
  return next;
}

std::string SimHost::statsText() const {
  std::string text;
  for (size_t i = 0; i < devices_.size(); ++i) {
    const Device& dev = *devices_[i];
    int64_t span = dev.lastDataUs - dev.firstDataUs;
    double perExchange = dev.dataFrames > 1 ? double(span) / double(dev.dataFrames - 1) : 0.0;
    char line[160];
    std::snprintf(line, sizeof line,
                  "device %zu data-frames %" PRIu64 " span-us %" PRId64 " per-exchange-us %.1f\n",
                  i, dev.dataFrames, span, perExchange);
    text += line;
  }
  return text;
}

bool SimHost::writeImages(const std::string& path) const {
  bool ok = true;
  for (size_t i = 0; i < devices_.size(); ++i) {
    const std::vector<uint8_t>& image = devices_[i]->model->storedImage();
    if (i > 0 && image.empty()) continue;
    std::string name = i == 0 ? path : path + "." + std::to_string(i);
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
