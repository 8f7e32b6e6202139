// tavrin-uhid-sim: serves the device model over /dev/uhid so that tavrin can
// be tested against the kernel's real HID stack, and users can try their
// scripts around tavrin without hardware.

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/sim_host.h"
#include "tools/sim_options.h"
#include "tools/uhid_device.h"

namespace {

int64_t nowMicroseconds() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string hexId(uint16_t vid, uint16_t pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%04x:%04x", vid, pid);
  return text;
}

// One uhid node per device index; also remembers each device's hidraw name
// once sysfs shows it.
class UhidKernel : public SimKernel {
 public:
  UhidKernel(size_t count, bool verbose) : devices_(count), nodes_(count), verbose_(verbose) {}

  bool createDevice(size_t index, const UhidIdentity& identity) override {
    std::string error;
    nodes_[index].clear();
    if (!devices_[index].create(identity, error)) {
      std::fprintf(stderr, "tavrin-uhid-sim: device %zu: %s\n", index, error.c_str());
      return false;
    }
    say("device " + std::to_string(index) + " created as " +
        hexId(identity.vendor, identity.product));
    return true;
  }
  void destroyDevice(size_t index) override {
    devices_[index].destroy();
    say("device " + std::to_string(index) + " removed");
  }
  void sendInput(size_t index, const Report& report) override {
    devices_[index].sendInput(report.data(), report.size());
  }

  UhidDevice& device(size_t index) { return devices_[index]; }
  std::string& node(size_t index) { return nodes_[index]; }
  void say(const std::string& text) const {
    if (verbose_) std::fprintf(stderr, "tavrin-uhid-sim: %s\n", text.c_str());
  }

 private:
  std::vector<UhidDevice> devices_;
  std::vector<std::string> nodes_;
  bool verbose_;
};

// Looks up the hidraw nodes not yet seen; true when every present device has
// one. The first time that holds, the ready file is written.
bool checkNodes(SimHost& host, UhidKernel& kernel) {
  bool all = true;
  for (size_t i = 0; i < host.deviceCount(); ++i) {
    if (!host.present(i) || !kernel.node(i).empty()) continue;
    kernel.node(i) = findHidrawNode(host.uniq(i));
    if (kernel.node(i).empty())
      all = false;
    else
      kernel.say("device " + std::to_string(i) + " is " + kernel.node(i));
  }
  return all;
}

void writeReadyFile(const std::string& path, UhidKernel& kernel, size_t count) {
  std::string tmp = path + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "w");
  if (f == nullptr) return;
  for (size_t i = 0; i < count; ++i) std::fprintf(f, "%s\n", kernel.node(i).c_str());
  std::fclose(f);
  // Renamed into place so a watcher never sees a half-written file.
  std::rename(tmp.c_str(), path.c_str());
}

int serve(const SimOptions& options) {
  FILE* frameLog = nullptr;
  if (!options.frameLog.empty()) {
    frameLog = std::fopen(options.frameLog.c_str(), "w");
    if (frameLog == nullptr) {
      std::fprintf(stderr, "tavrin-uhid-sim: cannot write %s\n", options.frameLog.c_str());
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
    if (frameLog != nullptr) std::fclose(frameLog);
    return 1;
  }

  UhidKernel kernel(options.devices.size(), options.verbose);
  SimHost host(options, kernel, "tavrin-sim-" + std::to_string(::getpid()), frameLog);
  int status = host.start(nowMicroseconds()) ? 0 : 1;
  const int64_t endUs = options.lifetimeSeconds == 0
                            ? -1
                            : nowMicroseconds() + int64_t{options.lifetimeSeconds} * 1000000;
  bool ready = false;
  std::vector<pollfd> fds;
  std::vector<size_t> owners;
  while (status == 0) {
    int64_t now = nowMicroseconds();
    if (endUs >= 0 && now >= endUs) {
      kernel.say("lifetime over");
      break;
    }
    host.advance(now);
    bool allNodes = checkNodes(host, kernel);
    if (allNodes && !ready) {
      ready = true;
      if (!options.readyFile.empty()) writeReadyFile(options.readyFile, kernel, host.deviceCount());
    }

    // Sleep until the next thing that is due; look at sysfs every 10 ms
    // while a node is still missing.
    int64_t wake = endUs >= 0 ? endUs : now + 3600 * int64_t{1000000};
    int64_t due = host.nextDueUs();
    if (due >= 0 && due < wake) wake = due;
    if (!allNodes && now + 10000 < wake) wake = now + 10000;
    int timeoutMs = wake <= now ? 0 : static_cast<int>((wake - now + 999) / 1000);

    fds.assign(1, pollfd{sigfd, POLLIN, 0});
    owners.assign(1, 0);
    for (size_t i = 0; i < host.deviceCount(); ++i) {
      if (!kernel.device(i).created()) continue;
      fds.push_back({kernel.device(i).fd(), POLLIN, 0});
      owners.push_back(i);
    }
    if (::poll(fds.data(), fds.size(), timeoutMs) < 0) continue;  // EINTR
    if (fds[0].revents != 0) {
      kernel.say("signal, exiting");
      break;
    }
    for (size_t k = 1; k < fds.size(); ++k) {
      if (fds[k].revents == 0) continue;
      size_t i = owners[k];
      // Drain the node: the kernel queues events while we were busy.
      while (kernel.device(i).created()) {
        UhidEvent ev = kernel.device(i).readEvent();
        if (ev.kind == UhidEventKind::kNone) break;
        if (ev.kind == UhidEventKind::kFailed) {
          std::fprintf(stderr, "tavrin-uhid-sim: device %zu: uhid read failed\n", i);
          status = 1;
          break;
        }
        if (ev.kind == UhidEventKind::kOutput)
          host.receive(i, ev.data.data(), ev.data.size(), nowMicroseconds());
      }
    }
  }
  ::close(sigfd);
  if (frameLog != nullptr) std::fclose(frameLog);
  if (!options.imageOut.empty() && !host.writeImages(options.imageOut)) {
    std::fprintf(stderr, "tavrin-uhid-sim: cannot write %s\n", options.imageOut.c_str());
    status = 1;
  }
  if (!options.statsFile.empty()) {
    if (FILE* f = std::fopen(options.statsFile.c_str(), "w")) {
      std::fputs(host.statsText().c_str(), f);
      std::fclose(f);
    }
  }
  return status;
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
  return serve(options);
}
