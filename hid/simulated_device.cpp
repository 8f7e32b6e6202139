#include "hid/simulated_device.h"

#include <algorithm>
#include <cstring>

namespace {

bool samePath(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; };
    if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

}  // namespace

// A connection is bound to one appearance (generation) of a device: once the
// device re-enumerates or is unplugged, its old connections fail.
class SimulatedConnection : public HidConnection {
 public:
  SimulatedConnection(SimulatedPlatform* platform, size_t id, uint32_t generation)
      : platform_(platform), id_(id), generation_(generation) {}

  bool readAttributes(uint16_t* vendorId, uint16_t* productId) override {
    SimulatedPlatform::Slot* slot = live();
    if (slot == nullptr) return false;
    *vendorId = slot->model ? slot->model->vendorId() : slot->vendorId;
    *productId = slot->model ? slot->model->productId() : slot->productId;
    return true;
  }

  bool readCaps(uint16_t* usagePage, uint16_t* usage) override {
    SimulatedPlatform::Slot* slot = live();
    if (slot == nullptr) return false;
    *usagePage = slot->model ? kTavrinUsagePage : slot->usagePage;
    *usage = slot->model ? kTavrinUsage : slot->usage;
    return true;
  }

  void flushInput() override {
    SimulatedPlatform::Slot* slot = platform_->slots_[id_].get();
    auto& queue = slot->queue;
    for (auto it = queue.begin(); it != queue.end() && it->arrival <= platform_->now_;)
      it = it->generation == generation_ ? queue.erase(it) : it + 1;
  }

  HidWaitResult writeReport(const uint8_t* report, uint32_t /*timeoutMs*/) override {
    SimulatedPlatform::Slot* slot = live();
    if (slot == nullptr) return kHidWaitFailed;
    ++platform_->writes_;
    if (!slot->model) return kHidWaitDone;
    DeviceReply reply = slot->model->receive(report, kReportSize);
    int64_t arrival = platform_->now_ + platform_->latencyMs_ + reply.delayMs;
    // The queue is kept in order of arrival: a late answer to an abandoned
    // request must not hold up an answer that comes before it.
    auto position = std::upper_bound(
        slot->queue.begin(), slot->queue.end(), arrival,
        [](int64_t at, const SimulatedPlatform::PendingReport& p) { return at < p.arrival; });
    for (const Report& input : reply.reports) {
      position = slot->queue.insert(position, {arrival, generation_, input});
      ++position;
    }
    if (reply.event != DeviceModelEvent::kNone) {
      // The answer already queued is still delivered to this connection.
      slot->present = false;
      ++slot->generation;
      slot->reenumerating = reply.event == DeviceModelEvent::kReenumerate;
      slot->appearAt = platform_->now_ + reply.eventDelayMs;
      slot->path = "sim/" + std::to_string(id_) + "/" + std::to_string(slot->generation);
      drainOnly_ = true;
    }
    return kHidWaitDone;
  }

  HidWaitResult readReport(uint8_t* report, uint32_t timeoutMs, uint32_t* immediateCount) override {
    SimulatedPlatform::Slot* slot = platform_->slots_[id_].get();
    *immediateCount = 0;
    bool alive = live() != nullptr;
    if (!alive && !drainOnly_) return kHidWaitFailed;
    const int64_t deadline = platform_->now_ + timeoutMs;
    auto& queue = slot->queue;
    for (auto it = queue.begin(); it != queue.end() && it->arrival <= deadline;) {
      // Reports for a later appearance of the device are not this connection's.
      if (it->generation != generation_) {
        ++it;
        continue;
      }
      SimulatedPlatform::PendingReport pending = *it;
      it = queue.erase(it);
      if (pending.report[0] != report[0]) continue;
      if (pending.arrival <= platform_->now_) *immediateCount = kReportSize;
      if (pending.arrival > platform_->now_) platform_->now_ = pending.arrival;
      std::memcpy(report, pending.report.data(), kReportSize);
      return kHidWaitDone;
    }
    // A device that is gone fails the read at once, as a removed node does.
    if (!alive) return kHidWaitFailed;
    platform_->now_ = deadline;
    return kHidWaitTimeout;
  }

  void cancelIo() override {}

 private:
  SimulatedPlatform::Slot* live() {
    SimulatedPlatform::Slot* slot = platform_->slots_[id_].get();
    if (!slot->present || slot->generation != generation_) return nullptr;
    return slot;
  }

  SimulatedPlatform* platform_;
  size_t id_;
  uint32_t generation_;
  bool drainOnly_ = false;
};

SimulatedPlatform::~SimulatedPlatform() = default;

size_t SimulatedPlatform::addDevice(const DeviceModelConfig& config, const std::string& path) {
  auto slot = std::make_unique<Slot>();
  size_t id = slots_.size();
  slot->model = std::make_unique<DeviceModel>(config);
  slot->path = path.empty() ? "sim/" + std::to_string(id) + "/0" : path;
  slots_.push_back(std::move(slot));
  return id;
}

size_t SimulatedPlatform::addForeignInterface(const std::string& path, uint16_t vendorId,
                                              uint16_t productId, uint16_t usagePage,
                                              uint16_t usage) {
  auto slot = std::make_unique<Slot>();
  slot->path = path;
  slot->vendorId = vendorId;
  slot->productId = productId;
  slot->usagePage = usagePage;
  slot->usage = usage;
  slots_.push_back(std::move(slot));
  return slots_.size() - 1;
}

void SimulatedPlatform::removeDevice(size_t id) {
  Slot& slot = *slots_.at(id);
  slot.present = false;
  slot.reenumerating = false;
  ++slot.generation;
}

DeviceModel& SimulatedPlatform::model(size_t id) {
  return *slots_.at(id)->model;
}

std::string SimulatedPlatform::currentPath(size_t id) const {
  const Slot& slot = *slots_.at(id);
  if (!slot.present && !(slot.reenumerating && slot.appearAt <= now_)) return "";
  return slot.path;
}

const std::vector<Report>& SimulatedPlatform::frameLog(size_t id) {
  return model(id).receivedFrames();
}

void SimulatedPlatform::setOpenError(size_t id, HidOpenError error, bool forIoOnly) {
  slots_.at(id)->openError = error;
  slots_.at(id)->openErrorForIoOnly = forIoOnly;
}

void SimulatedPlatform::settle() {
  for (auto& slot : slots_) {
    if (slot->reenumerating && slot->appearAt <= now_) {
      slot->reenumerating = false;
      slot->present = true;
      slot->queue.clear();
    }
  }
}

SimulatedPlatform::Slot* SimulatedPlatform::findPresent(const std::string& path) {
  settle();
  for (auto& slot : slots_)
    if (slot->present && samePath(slot->path, path)) return slot.get();
  return nullptr;
}

bool SimulatedPlatform::enumerateInterfaces(std::vector<std::string>* paths) {
  settle();
  paths->clear();
  for (auto& slot : slots_)
    if (slot->present) paths->push_back(slot->path);
  return true;
}

bool SimulatedPlatform::isPresent(const std::string& path) {
  return findPresent(path) != nullptr;
}

std::unique_ptr<HidConnection> SimulatedPlatform::open(const std::string& path, bool forIo,
                                                       HidOpenError* error) {
  Slot* slot = findPresent(path);
  if (slot == nullptr) {
    *error = kHidOpenNotFound;
    return nullptr;
  }
  if (slot->openError != kHidOpenOk && (forIo || !slot->openErrorForIoOnly)) {
    *error = slot->openError;
    return nullptr;
  }
  size_t id = 0;
  while (slots_[id].get() != slot) ++id;
  *error = kHidOpenOk;
  return std::make_unique<SimulatedConnection>(this, id, slot->generation);
}

bool SimulatedPlatform::describe(const std::string& path, HidInterfaceInfo* info) {
  Slot* slot = findPresent(path);
  if (slot == nullptr) return false;
  info->path = slot->path;
  info->node = slot->path;
  info->product = slot->model ? "Simulated " + slot->model->config().model : "";
  info->vendorId = slot->model ? slot->model->vendorId() : slot->vendorId;
  info->productId = slot->model ? slot->model->productId() : slot->productId;
  info->usagePage = slot->model ? kTavrinUsagePage : slot->usagePage;
  info->usage = slot->model ? kTavrinUsage : slot->usage;
  return true;
}
