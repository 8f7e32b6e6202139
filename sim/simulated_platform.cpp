#include "sim/simulated_platform.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <thread>

namespace {

bool samePathIgnoringCase(const std::string& a, const std::string& b) {
  auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [&](unsigned char x, unsigned char y) { return lower(x) == lower(y); });
}

}  // namespace

/// Input reports delivered to one open connection, as a hidraw file keeps them.
struct SimulatedPlatform::Inbox {
  std::deque<Report> reports;
  bool gone = false;  ///< the appearance it was opened on has vanished
};

/// One interface: a hosted device (through all its appearances) or a foreign one.
struct SimulatedPlatform::Node {
  size_t id = 0;
  std::string path;
  std::string firstPath;  ///< path of the first appearance, when the test chose it
  bool hosted = false;
  size_t hostIndex = 0;
  bool present = false;
  uint32_t appearances = 0;
  SimIdentity identity;
  uint16_t usagePage = kTavrinUsagePage;
  uint16_t usage = kTavrinUsage;
  HidOpenError openError = kHidOpenOk;
  bool openErrorTransferOnly = false;
  std::vector<std::weak_ptr<Inbox>> inboxes;  ///< open connections of this appearance

  void vanish() {
    if (!present) return;
    present = false;
    for (auto& weak : inboxes)
      if (auto inbox = weak.lock()) inbox->gone = true;
    inboxes.clear();
  }
};

// A connection belongs to one appearance of an interface: once the device
// restarts or is unplugged it fails, after giving up the reports it holds.
class SimulatedConnection : public HidConnection {
 public:
  SimulatedConnection(SimulatedPlatform* platform, SimulatedPlatform::Node* node,
                      std::shared_ptr<SimulatedPlatform::Inbox> inbox)
      : platform_(platform), node_(node), inbox_(std::move(inbox)) {}

  bool readAttributes(uint16_t* vendorId, uint16_t* productId) override {
    SimulatedPlatform::Lock lock(platform_->mutex_);
    platform_->settle();
    if (inbox_->gone) return false;
    *vendorId = node_->identity.vendorId;
    *productId = node_->identity.productId;
    return true;
  }

  bool readCaps(uint16_t* usagePage, uint16_t* usage) override {
    SimulatedPlatform::Lock lock(platform_->mutex_);
    platform_->settle();
    if (inbox_->gone) return false;
    *usagePage = node_->usagePage;
    *usage = node_->usage;
    return true;
  }

  void flushInput() override {
    SimulatedPlatform::Lock lock(platform_->mutex_);
    platform_->settle();
    inbox_->reports.clear();
  }

  HidWaitResult writeReport(const uint8_t* report, uint32_t /*timeoutMs*/) override {
    SimulatedPlatform::Lock lock(platform_->mutex_);
    platform_->settle();
    if (inbox_->gone) return kHidWaitFailed;
    if (node_->hosted)
      platform_->host_.receive(node_->hostIndex, report, kReportSize, platform_->nowUs_);
    return kHidWaitDone;
  }

  HidWaitResult readReport(uint8_t* report, uint32_t timeoutMs, uint32_t* immediateCount) override {
    SimulatedPlatform::Lock lock(platform_->mutex_);
    platform_->settle();
    *immediateCount = 0;
    const int64_t deadlineUs = platform_->nowUs_ + int64_t{timeoutMs} * 1000;
    for (bool waiting = false;; waiting = true) {
      while (!inbox_->reports.empty()) {
        const Report input = inbox_->reports.front();
        inbox_->reports.pop_front();
        if (input[0] != report[0]) continue;
        std::memcpy(report, input.data(), kReportSize);
        if (!waiting) *immediateCount = kReportSize;
        return kHidWaitDone;
      }
      // A vanished device fails the read at once, as a removed node does.
      if (inbox_->gone) return kHidWaitFailed;
      if (!platform_->waitForHost(deadlineUs, lock)) return kHidWaitTimeout;
    }
  }

  void cancelIo() override {}

 private:
  SimulatedPlatform* platform_;
  SimulatedPlatform::Node* node_;
  std::shared_ptr<SimulatedPlatform::Inbox> inbox_;
};

SimulatedPlatform::SimulatedPlatform() : host_(*this) {}

SimulatedPlatform::~SimulatedPlatform() = default;

size_t SimulatedPlatform::addDevice(const DeviceModelConfig& config, const std::string& path,
                                    const std::string& port, const std::string& serial) {
  Lock lock(mutex_);
  auto node = std::make_unique<Node>();
  node->id = nodes_.size();
  node->hosted = true;
  node->hostIndex = host_.deviceCount();
  node->firstPath = path;
  nodes_.push_back(std::move(node));
  host_.addDevice(config, "Simulated " + config.model, port, serial);
  return nodes_.size() - 1;
}

size_t SimulatedPlatform::addForeignInterface(const std::string& path, uint16_t vendorId,
                                              uint16_t productId, uint16_t usagePage,
                                              uint16_t usage) {
  Lock lock(mutex_);
  auto node = std::make_unique<Node>();
  node->id = nodes_.size();
  node->path = path;
  node->present = true;
  node->identity.vendorId = vendorId;
  node->identity.productId = productId;
  node->usagePage = usagePage;
  node->usage = usage;
  nodes_.push_back(std::move(node));
  ++changes_;
  return nodes_.size() - 1;
}

size_t SimulatedPlatform::schedulePlug(int64_t atMs, const DeviceModelConfig& config,
                                       const std::string& port, const std::string& serial) {
  Lock lock(mutex_);
  auto node = std::make_unique<Node>();
  node->id = nodes_.size();
  node->hosted = true;
  node->hostIndex = host_.deviceCount();
  nodes_.push_back(std::move(node));
  host_.addDevice(config, "Simulated " + config.model, port, serial, atMs * 1000);
  return nodes_.size() - 1;
}

void SimulatedPlatform::scheduleUnplug(int64_t atMs, size_t id) {
  Lock lock(mutex_);
  host_.scheduleUnplug(nodes_.at(id)->hostIndex, atMs * 1000);
}

bool SimulatedPlatform::waitForChange(uint32_t timeoutMs) {
  Lock lock(mutex_);
  settle();
  const int64_t deadlineUs = nowUs_ + int64_t{timeoutMs} * 1000;
  while (changes_ == seenChanges_ && waitForHost(deadlineUs, lock)) {
  }
  const bool changed = changes_ != seenChanges_;
  seenChanges_ = changes_;
  return changed;
}

void SimulatedPlatform::removeDevice(size_t id) {
  Lock lock(mutex_);
  Node& node = *nodes_.at(id);
  if (node.hosted) {
    host_.unplug(node.hostIndex);
  } else if (node.present) {
    node.vanish();
    ++changes_;
  }
}

DeviceModel& SimulatedPlatform::model(size_t id) {
  Lock lock(mutex_);
  return host_.model(nodes_.at(id)->hostIndex);
}

std::string SimulatedPlatform::currentPath(size_t id) {
  Lock lock(mutex_);
  settle();
  const Node& node = *nodes_.at(id);
  return node.present ? node.path : "";
}

void SimulatedPlatform::setOpenError(size_t id, HidOpenError error, bool transferOnly) {
  Lock lock(mutex_);
  nodes_.at(id)->openError = error;
  nodes_.at(id)->openErrorTransferOnly = transferOnly;
}

void SimulatedPlatform::moveClockTo(int64_t us, Lock& lock) {
  if (us <= nowUs_) return;
  if (paced_) {
    // Other threads go on meanwhile; one of them may move the clock further.
    const int64_t wait = us - nowUs_;
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::microseconds(wait));
    lock.lock();
  }
  nowUs_ = std::max(nowUs_, us);
}

int64_t SimulatedPlatform::monotonicMilliseconds() {
  Lock lock(mutex_);
  return nowUs_ / 1000;
}

void SimulatedPlatform::advance(int64_t ms) {
  Lock lock(mutex_);
  moveClockTo(nowUs_ + ms * 1000, lock);
  settle();
}

bool SimulatedPlatform::waitForHost(int64_t deadlineUs, Lock& lock) {
  const int64_t due = host_.nextDueUs();
  const bool inTime = due >= 0 && due <= deadlineUs;
  moveClockTo(inTime ? due : deadlineUs, lock);
  settle();
  return inTime;
}

SimulatedPlatform::Node* SimulatedPlatform::nodeOf(size_t hostIndex) {
  for (auto& node : nodes_)
    if (node->hosted && node->hostIndex == hostIndex) return node.get();
  return nullptr;
}

bool SimulatedPlatform::createDevice(size_t index, const SimIdentity& identity) {
  Node* node = nodeOf(index);
  if (node == nullptr) return false;
  node->path = node->appearances == 0 && !node->firstPath.empty()
                   ? node->firstPath
                   : "sim/" + std::to_string(node->id) + "/" + std::to_string(node->appearances);
  ++node->appearances;
  node->identity = identity;
  node->present = true;
  ++changes_;
  return true;
}

void SimulatedPlatform::destroyDevice(size_t index) {
  Node* node = nodeOf(index);
  if (node == nullptr || !node->present) return;
  node->vanish();
  ++changes_;
}

void SimulatedPlatform::sendInput(size_t index, const Report& report) {
  Node* node = nodeOf(index);
  if (node == nullptr) return;
  for (auto& weak : node->inboxes)
    if (auto inbox = weak.lock()) inbox->reports.push_back(report);
}

SimulatedPlatform::Node* SimulatedPlatform::findPresent(const std::string& path) {
  settle();
  for (auto& node : nodes_)
    if (node->present && samePathIgnoringCase(node->path, path)) return node.get();
  return nullptr;
}

bool SimulatedPlatform::enumerateInterfaces(std::vector<std::string>* paths) {
  Lock lock(mutex_);
  settle();
  paths->clear();
  for (auto& node : nodes_)
    if (node->present) paths->push_back(node->path);
  return true;
}

bool SimulatedPlatform::isPresent(const std::string& path) {
  Lock lock(mutex_);
  return findPresent(path) != nullptr;
}

std::unique_ptr<HidConnection> SimulatedPlatform::open(const std::string& path,
                                                       HidOpenPurpose purpose,
                                                       HidOpenError* error,
                                                       std::string* errorText) {
  // A simulated device has no system to give reasons.
  if (errorText != nullptr) errorText->clear();
  Lock lock(mutex_);
  Node* node = findPresent(path);
  if (node == nullptr) {
    *error = kHidOpenNotFound;
    return nullptr;
  }
  if (node->openError != kHidOpenOk &&
      (purpose == kHidOpenForTransfers || !node->openErrorTransferOnly)) {
    *error = node->openError;
    return nullptr;
  }
  *error = kHidOpenOk;
  auto inbox = std::make_shared<Inbox>();
  std::erase_if(node->inboxes, [](const std::weak_ptr<Inbox>& w) { return w.expired(); });
  node->inboxes.push_back(inbox);
  return std::make_unique<SimulatedConnection>(this, node, std::move(inbox));
}

bool SimulatedPlatform::describe(const std::string& path, HidInterfaceInfo* info) {
  Lock lock(mutex_);
  Node* node = findPresent(path);
  if (node == nullptr) return false;
  info->path = node->path;
  info->node = node->path;
  info->product = node->identity.name;
  info->port = reportsPorts_ ? node->identity.port : "";
  info->serial = node->identity.serial;
  info->vendorId = node->identity.vendorId;
  info->productId = node->identity.productId;
  info->usagePage = node->usagePage;
  info->usage = node->usage;
  return true;
}
