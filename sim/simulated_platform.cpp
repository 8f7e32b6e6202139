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

/// A report the device has not taken yet, as USB holds it: the write ends
/// when the device takes it or when the system gives up on it. It outlives
/// the connection that wrote it, as a write in the kernel does.
struct SimulatedPlatform::HeldWrite {
  Report report{};
  size_t hostIndex = 0;
  std::weak_ptr<Inbox> inbox;  ///< the appearance it was written to
  int64_t endUs = 0;
  bool taken = false;  ///< it ends with the device taking it (else the system gives up)
  bool ended = false;
  HidHeldWrite outcome = kHidWriteHeld;  ///< once ended: taken, refused or failed
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

  HidWaitResult writeReport(const uint8_t* report, uint32_t timeoutMs) override {
    SimulatedPlatform::Lock lock(platform_->mutex_);
    platform_->settle();
    lastError_.clear();
    if (inbox_->gone) return gone();
    const int64_t deadlineUs = platform_->nowUs_ + int64_t{timeoutMs} * 1000;
    if (held_ && !held_->ended) {
      // Never two reports on their way: this one goes only after the held one.
      ++platform_->heldCount_.behind;
      platform_->waitForHeldWrite(*held_, deadlineUs, lock);
      if (!held_->ended) return kHidWaitTimeout;
    }
    held_.reset();
    if (!node_->hosted) return kHidWaitDone;
    SimHost& host = platform_->host_;
    const int64_t holdUs = host.holdUs(node_->hostIndex, report, kReportSize);
    if (holdUs == 0) {
      host.receive(node_->hostIndex, report, kReportSize, platform_->nowUs_);
      return kHidWaitDone;
    }
    auto write = std::make_shared<SimulatedPlatform::HeldWrite>();
    std::memcpy(write->report.data(), report, kReportSize);
    write->hostIndex = node_->hostIndex;
    write->inbox = inbox_;
    write->taken = holdUs != SimHost::kNeverTaken && holdUs <= platform_->heldWriteLimitUs_;
    write->endUs = platform_->nowUs_ + (write->taken ? holdUs : platform_->heldWriteLimitUs_);
    platform_->heldWrites_.push_back(write);
    platform_->waitForHeldWrite(*write, deadlineUs, lock);
    if (!write->ended) {
      held_ = write;
      ++platform_->heldCount_.held;
      platform_->heldCount_.lastEndUs = std::max(platform_->heldCount_.lastEndUs, write->endUs);
      return kHidWaitTimeout;
    }
    return write->outcome == kHidHeldWriteTaken ? kHidWaitDone : kHidWaitFailed;
  }

  HidHeldWrite heldWrite(uint32_t timeoutMs, uint8_t* report) override {
    SimulatedPlatform::Lock lock(platform_->mutex_);
    platform_->settle();
    if (!held_) return kHidNoHeldWrite;
    std::memcpy(report, held_->report.data(), kReportSize);
    if (!held_->ended)
      platform_->waitForHeldWrite(*held_, platform_->nowUs_ + int64_t{timeoutMs} * 1000, lock);
    if (!held_->ended) return kHidWriteHeld;
    const HidHeldWrite outcome = held_->outcome;
    if (outcome == kHidHeldWriteTaken) held_.reset();  // told once
    return outcome;
  }

  HidWaitResult readReport(uint8_t* report, uint32_t timeoutMs, uint32_t* immediateCount) override {
    SimulatedPlatform::Lock lock(platform_->mutex_);
    platform_->settle();
    lastError_.clear();
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
      if (inbox_->gone) return gone();
      if (!platform_->waitForHost(deadlineUs, lock)) return kHidWaitTimeout;
    }
  }

  void cancelIo() override {}
  std::string lastError() const override { return lastError_; }

 private:
  // A transfer on a vanished device fails as it does on a removed hidraw
  // node, in the same words.
  HidWaitResult gone() {
    lastError_ = "No such device";
    return kHidWaitFailed;
  }

  SimulatedPlatform* platform_;
  SimulatedPlatform::Node* node_;
  std::shared_ptr<SimulatedPlatform::Inbox> inbox_;
  std::shared_ptr<SimulatedPlatform::HeldWrite> held_;  ///< given up on; told until the next write
  std::string lastError_;                                ///< why the last transfer failed
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
  const int64_t due = nextDueUs();
  const bool inTime = due >= 0 && due <= deadlineUs;
  moveClockTo(inTime ? due : deadlineUs, lock);
  settle();
  return inTime;
}

void SimulatedPlatform::settle() {
  for (;;) {
    HeldWrite* next = nullptr;
    for (auto& write : heldWrites_)
      if (!write->ended && write->endUs <= nowUs_ &&
          (next == nullptr || write->endUs < next->endUs))
        next = write.get();
    if (next == nullptr) break;
    host_.advance(next->endUs);
    endHeldWrite(*next, next->endUs);
  }
  host_.advance(nowUs_);
  // A device that went away ends what it held at once, untaken.
  for (auto& write : heldWrites_) {
    const auto inbox = write->inbox.lock();
    if (!write->ended && (inbox == nullptr || inbox->gone)) endHeldWrite(*write, nowUs_);
  }
  std::erase_if(heldWrites_, [](const std::shared_ptr<HeldWrite>& w) { return w->ended; });
}

void SimulatedPlatform::endHeldWrite(HeldWrite& write, int64_t atUs) {
  write.ended = true;
  const auto inbox = write.inbox.lock();
  if (inbox == nullptr || inbox->gone) {
    write.outcome = kHidHeldWriteFailed;
  } else if (write.taken) {
    host_.receive(write.hostIndex, write.report.data(), kReportSize, atUs);
    write.outcome = kHidHeldWriteTaken;
  } else {
    write.outcome = kHidHeldWriteRefused;
  }
  heldCount_.lastEndUs = std::max(heldCount_.lastEndUs, atUs);
}

int64_t SimulatedPlatform::nextDueUs() const {
  int64_t next = host_.nextDueUs();
  for (const auto& write : heldWrites_)
    if (!write->ended && (next < 0 || write->endUs < next)) next = write->endUs;
  return next;
}

void SimulatedPlatform::waitForHeldWrite(const HeldWrite& write, int64_t deadlineUs, Lock& lock) {
  while (!write.ended && nowUs_ < deadlineUs) {
    moveClockTo(std::min(write.endUs, deadlineUs), lock);
    settle();
  }
}

SimulatedPlatform::HeldWriteCount SimulatedPlatform::heldWrites() {
  Lock lock(mutex_);
  return heldCount_;
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
