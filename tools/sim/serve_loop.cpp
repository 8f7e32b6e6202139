#include "tools/sim/serve_loop.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

void writeReadyFile(const std::string& path, const ServedDevices& devices, size_t count) {
  const std::string tmp = path + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "w");
  if (f == nullptr) return;
  for (size_t i = 0; i < count; ++i) std::fprintf(f, "%s\n", devices.node(i).c_str());
  std::fclose(f);
  // Renamed into place so a watcher never sees a half-written file.
  std::rename(tmp.c_str(), path.c_str());
}

}  // namespace

int64_t steadyMicroseconds() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

int serveSimulatedDevices(const SimOptions& options, ServedDevices& devices, const char* tool) {
  FILE* frameLog = nullptr;
  if (!options.frameLog.empty()) {
    frameLog = std::fopen(options.frameLog.c_str(), "w");
    if (frameLog == nullptr) {
      std::fprintf(stderr, "%s: cannot write %s\n", tool, options.frameLog.c_str());
      return 1;
    }
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  const int sigfd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
  if (sigfd < 0) {
    std::fprintf(stderr, "%s: signalfd: %s\n", tool, std::strerror(errno));
    if (frameLog != nullptr) std::fclose(frameLog);
    return 1;
  }

  SimHost& host = devices.host();
  host.setFrameLog(frameLog);
  int status = devices.start() ? 0 : 1;
  const int64_t endUs = options.lifetimeSeconds == 0
                            ? -1
                            : steadyMicroseconds() + int64_t{options.lifetimeSeconds} * 1000000;
  bool ready = false;
  while (status == 0) {
    const int64_t now = steadyMicroseconds();
    if (endUs >= 0 && now >= endUs) {
      if (options.verbose) std::fprintf(stderr, "%s: lifetime over\n", tool);
      break;
    }
    const bool allNodes = devices.findNodes();
    if (allNodes && !ready) {
      ready = true;
      if (!options.readyFile.empty())
        writeReadyFile(options.readyFile, devices, host.deviceCount());
    }
    // Look at sysfs every 10 ms while a node is still missing.
    int64_t waitUs = endUs >= 0 ? endUs - now : 3600 * int64_t{1000000};
    if (!allNodes) waitUs = std::min<int64_t>(waitUs, 10000);
    bool signalled = false;
    if (!devices.pump(static_cast<int>((waitUs + 999) / 1000), sigfd, &signalled)) status = 1;
    if (signalled) {
      if (options.verbose) std::fprintf(stderr, "%s: signal, exiting\n", tool);
      break;
    }
  }
  ::close(sigfd);
  if (frameLog != nullptr) std::fclose(frameLog);
  host.setFrameLog(nullptr);
  if (!options.imageOut.empty() && !host.writeImages(options.imageOut)) {
    std::fprintf(stderr, "%s: cannot write %s\n", tool, options.imageOut.c_str());
    status = 1;
  }
  if (!options.statsFile.empty()) {
    if (FILE* f = std::fopen(options.statsFile.c_str(), "w")) {
      std::fputs(host.statsText().c_str(), f);
      std::fputs(host.arrivalsText().c_str(), f);
      std::fclose(f);
    }
  }
  return status;
}
