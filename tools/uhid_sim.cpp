// tavrin-uhid-sim: serves the device model over /dev/uhid so that tavrin can
// be tested against the kernel's real HID stack, and users can try their
// scripts around tavrin without hardware.

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "hid/device_model.h"
#include "tools/sim_options.h"
#include "tools/uhid_device.h"

namespace {

constexpr uint8_t kCmdWriteData = 0x64;

int64_t nowMicroseconds() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

struct PendingInput {
  int64_t dueUs;
  Report report;
};

struct SimDevice {
  size_t index = 0;
  SimDeviceOptions options;
  std::unique_ptr<DeviceModel> model;
  UhidDevice uhid;
  uint32_t generation = 0;
  int64_t recreateAtUs = -1;  // pending re-enumeration
  bool goneForGood = false;
  std::string node;           // hidraw name once seen
  std::deque<PendingInput> pending;
  uint64_t dataFrames = 0;
  int64_t firstDataUs = 0;
  int64_t lastDataUs = 0;

  std::string uniq() const {
    return "tavrin-sim-" + std::to_string(::getpid()) + "-" + std::to_string(index) + "-" +
           std::to_string(generation);
  }
};

class Simulator {
 public:
  explicit Simulator(const SimOptions& options) : options_(options) {}
  ~Simulator() {
    if (frameLog_ != nullptr) std::fclose(frameLog_);
  }

  int run();

 private:
  bool createDevice(SimDevice& dev);
  void handleOutput(SimDevice& dev, const std::vector<uint8_t>& data);
  void logFrame(const SimDevice& dev, DeviceMode mode, const std::vector<uint8_t>& data);
  void sendDue(int64_t now);
  void checkReady();
  void writeResults();
  void say(const std::string& text) const {
    if (options_.verbose) std::fprintf(stderr, "tavrin-uhid-sim: %s\n", text.c_str());
  }

  const SimOptions& options_;
  std::vector<std::unique_ptr<SimDevice>> devices_;
  FILE* frameLog_ = nullptr;
  bool readyWritten_ = false;
};

std::string hexId(uint16_t vid, uint16_t pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%04x:%04x", vid, pid);
  return text;
}

bool Simulator::createDevice(SimDevice& dev) {
  UhidIdentity identity;
  identity.name = dev.options.name;
  identity.uniq = dev.uniq();
  identity.vendor = dev.model->vendorId();
  identity.product = dev.model->productId();
  identity.descriptor = bootloaderReportDescriptor();
  std::string error;
  if (!dev.uhid.create(identity, error)) {
    std::fprintf(stderr, "tavrin-uhid-sim: device %zu: %s\n", dev.index, error.c_str());
    return false;
  }
  dev.node.clear();
  say("device " + std::to_string(dev.index) + " created as " + hexId(identity.vendor, identity.product) +
      (dev.model->mode() == kModeBootloader ? " (bootloader)" : " (application)"));
  return true;
}

void Simulator::logFrame(const SimDevice& dev, DeviceMode mode, const std::vector<uint8_t>& data) {
  if (frameLog_ == nullptr) return;
  std::fprintf(frameLog_, "%zu %s ", dev.index, mode == kModeBootloader ? "boot" : "app");
  for (uint8_t b : data) std::fprintf(frameLog_, "%02x", b);
  std::fputc('\n', frameLog_);
}

void Simulator::handleOutput(SimDevice& dev, const std::vector<uint8_t>& data) {
  int64_t now = nowMicroseconds();
  logFrame(dev, dev.model->mode(), data);
  if (data.size() > kOffsetPayload && data[0] == kRequestReportId && data[kOffsetPayload] == kCmdWriteData) {
    if (dev.dataFrames++ == 0) dev.firstDataUs = now;
    dev.lastDataUs = now;
  }
  DeviceReply reply = dev.model->receive(data.data(), data.size());
  for (const Report& report : reply.reports) {
    if (reply.delayMs == 0 && dev.pending.empty()) {
      dev.uhid.sendInput(report.data(), report.size());
    } else {
      dev.pending.push_back({now + int64_t{reply.delayMs} * 1000, report});
    }
  }
  if (reply.event == DeviceModelEvent::kNone) return;
  // The device goes away now; answers still waiting for their delay are lost
  // with it, as on a real device that resets.
  if (frameLog_ != nullptr) std::fflush(frameLog_);
  dev.pending.clear();
  dev.uhid.destroy();
  if (reply.event == DeviceModelEvent::kReenumerate) {
    ++dev.generation;
    dev.recreateAtUs = now + int64_t{reply.eventDelayMs} * 1000;
    say("device " + std::to_string(dev.index) + " restarting, back in " +
        std::to_string(reply.eventDelayMs) + " ms");
  } else {
    dev.goneForGood = true;
    say("device " + std::to_string(dev.index) + " vanished");
  }
}

void Simulator::sendDue(int64_t now) {
  for (auto& dev : devices_) {
    while (!dev->pending.empty() && dev->pending.front().dueUs <= now) {
      const Report& r = dev->pending.front().report;
      dev->uhid.sendInput(r.data(), r.size());
      dev->pending.pop_front();
    }
    if (dev->recreateAtUs >= 0 && dev->recreateAtUs <= now) {
      dev->recreateAtUs = -1;
      createDevice(*dev);
    }
  }
}

void Simulator::checkReady() {
  bool all = true;
  for (auto& dev : devices_) {
    if (!dev->uhid.created()) continue;
    if (dev->node.empty()) {
      dev->node = findHidrawNode(dev->uniq());
      if (!dev->node.empty()) say("device " + std::to_string(dev->index) + " is " + dev->node);
    }
    if (dev->node.empty()) all = false;
  }
  if (readyWritten_ || !all) return;
  readyWritten_ = true;
  if (options_.readyFile.empty()) return;
  std::string tmp = options_.readyFile + ".tmp";
  if (FILE* f = std::fopen(tmp.c_str(), "w")) {
    for (auto& dev : devices_) std::fprintf(f, "%s\n", dev->node.c_str());
    std::fclose(f);
    // Renamed into place so a watcher never sees a half-written file.
    std::rename(tmp.c_str(), options_.readyFile.c_str());
  }
}

void Simulator::writeResults() {
  if (frameLog_ != nullptr) std::fflush(frameLog_);
  if (!options_.imageOut.empty()) {
    for (auto& dev : devices_) {
      const std::vector<uint8_t>& image = dev->model->storedImage();
      if (dev->index > 0 && image.empty()) continue;
      std::string path = options_.imageOut;
      if (dev->index > 0) path += "." + std::to_string(dev->index);
      if (FILE* f = std::fopen(path.c_str(), "wb")) {
        if (!image.empty()) std::fwrite(image.data(), 1, image.size(), f);
        std::fclose(f);
      }
    }
  }
  if (!options_.statsFile.empty()) {
    if (FILE* f = std::fopen(options_.statsFile.c_str(), "w")) {
      for (auto& dev : devices_) {
        int64_t span = dev->lastDataUs - dev->firstDataUs;
        double perExchange = dev->dataFrames > 1 ? double(span) / double(dev->dataFrames - 1) : 0.0;
        std::fprintf(f, "device %zu data-frames %llu span-us %lld per-exchange-us %.1f\n", dev->index,
                     static_cast<unsigned long long>(dev->dataFrames), static_cast<long long>(span),
                     perExchange);
      }
      std::fclose(f);
    }
  }
}

int Simulator::run() {
  if (!options_.frameLog.empty()) {
    frameLog_ = std::fopen(options_.frameLog.c_str(), "w");
    if (frameLog_ == nullptr) {
      std::fprintf(stderr, "tavrin-uhid-sim: cannot write %s\n", options_.frameLog.c_str());
      return 1;
    }
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  int sigfd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
  if (sigfd < 0) {
    std::perror("tavrin-uhid-sim: signalfd");
    return 1;
  }

  for (size_t i = 0; i < options_.devices.size(); ++i) {
    auto dev = std::make_unique<SimDevice>();
    dev->index = i;
    dev->options = options_.devices[i];
    dev->model = std::make_unique<DeviceModel>(dev->options.model);
    if (!createDevice(*dev)) {
      ::close(sigfd);
      return 1;
    }
    devices_.push_back(std::move(dev));
  }

  const int64_t endUs =
      options_.lifetimeSeconds == 0 ? -1 : nowMicroseconds() + int64_t{options_.lifetimeSeconds} * 1000000;
  std::vector<pollfd> fds;
  std::vector<SimDevice*> owners;
  for (;;) {
    int64_t now = nowMicroseconds();
    if (endUs >= 0 && now >= endUs) {
      say("lifetime over");
      break;
    }
    sendDue(now);
    checkReady();

    // Sleep until the next thing that is due, but poll sysfs every 10 ms
    // until every node has shown up.
    int64_t wake = endUs >= 0 ? endUs : now + 3600 * int64_t{1000000};
    for (auto& dev : devices_) {
      if (!dev->pending.empty() && dev->pending.front().dueUs < wake) wake = dev->pending.front().dueUs;
      if (dev->recreateAtUs >= 0 && dev->recreateAtUs < wake) wake = dev->recreateAtUs;
      if (dev->uhid.created() && dev->node.empty() && now + 10000 < wake) wake = now + 10000;
    }
    int timeoutMs = wake <= now ? 0 : static_cast<int>((wake - now + 999) / 1000);

    fds.clear();
    owners.clear();
    fds.push_back({sigfd, POLLIN, 0});
    owners.push_back(nullptr);
    for (auto& dev : devices_) {
      if (!dev->uhid.created()) continue;
      fds.push_back({dev->uhid.fd(), POLLIN, 0});
      owners.push_back(dev.get());
    }
    int n = ::poll(fds.data(), fds.size(), timeoutMs);
    if (n < 0) continue;  // EINTR
    if (fds[0].revents != 0) {
      say("signal, exiting");
      break;
    }
    for (size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      SimDevice& dev = *owners[i];
      for (;;) {
        if (!dev.uhid.created()) break;
        UhidEvent ev = dev.uhid.readEvent();
        if (ev.kind == UhidEventKind::kNone) break;
        if (ev.kind == UhidEventKind::kFailed) {
          std::fprintf(stderr, "tavrin-uhid-sim: device %zu: uhid read failed\n", dev.index);
          dev.uhid.destroy();
          break;
        }
        if (ev.kind == UhidEventKind::kOutput) handleOutput(dev, ev.data);
      }
    }
  }
  ::close(sigfd);
  writeResults();
  for (auto& dev : devices_) dev->uhid.destroy();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  SimOptions options;
  std::string error;
  if (!parseSimArguments(argc, argv, options, error)) {
    std::fprintf(stderr, "tavrin-uhid-sim: %s\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(simHelpText(), stdout);
    return 0;
  }
  Simulator simulator(options);
  return simulator.run();
}
