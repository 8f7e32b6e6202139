#include "tools/sim/uhid_driver.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

std::string hexIds(uint16_t vendorId, uint16_t productId) {
  char text[16];
  std::snprintf(text, sizeof text, "%04x:%04x", vendorId, productId);
  return text;
}

}  // namespace

int openUhidNode(std::string& error) {
  const int fd = ::open("/dev/uhid", O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) error = std::string("cannot open /dev/uhid: ") + std::strerror(errno);
  return fd;
}

UhidDriver::UhidDriver(const SimOptions& options, UhidNodeOpener opener)
    : options_(options),
      opener_(std::move(opener)),
      host_(*this),
      devices_(options.devices.size()),
      nodes_(options.devices.size()) {}

void UhidDriver::say(const std::string& text) const {
  if (options_.verbose) std::fprintf(stderr, "tavrin-uhid-sim: %s\n", text.c_str());
}

bool UhidDriver::start() {
  bool all = true;
  host_.setAnswerLatencyUs(int64_t{options_.answerDelayMs} * 1000);
  host_.setPollIntervalUs(int64_t{options_.intervalMs} * 1000);
  // Boards plugged in or pulled later count from now.
  const int64_t originUs = steadyMicroseconds();
  for (const SimDeviceOptions& device : options_.devices) {
    const size_t index =
        host_.addDevice(device.model, device.name, device.port, device.serial,
                        device.appearAtMs < 0 ? -1 : originUs + device.appearAtMs * 1000);
    if (device.leaveAtMs >= 0) host_.scheduleUnplug(index, originUs + device.leaveAtMs * 1000);
    if (device.appearAtMs >= 0) continue;
    all = all && host_.present(index);
  }
  return all;
}

bool UhidDriver::createDevice(size_t index, const SimIdentity& identity) {
  UhidIdentity uhid;
  uhid.name = identity.name;
  uhid.uniq = identity.serial;
  // Like a USB interface's: the port, then the interface.
  uhid.phys = identity.port + "/input0";
  uhid.vendor = identity.vendorId;
  uhid.product = identity.productId;
  uhid.descriptor = bootloaderReportDescriptor();
  const std::vector<uint8_t> keyboard = keyboardReportDescriptor();
  switch (options_.devices[index].keyboard) {
    case SimDeviceOptions::Keyboard::kBefore:
      uhid.descriptor.insert(uhid.descriptor.begin(), keyboard.begin(), keyboard.end());
      break;
    case SimDeviceOptions::Keyboard::kAfter:
      uhid.descriptor.insert(uhid.descriptor.end(), keyboard.begin(), keyboard.end());
      break;
    case SimDeviceOptions::Keyboard::kNone:
      break;
  }
  std::string error;
  nodes_[index].clear();
  const int fd = opener_(error);
  if (fd < 0 || !devices_[index].createOn(fd, uhid, error)) {
    std::fprintf(stderr, "tavrin-uhid-sim: device %zu: %s\n", index, error.c_str());
    return false;
  }
  say("device " + std::to_string(index) + " created as " + hexIds(uhid.vendor, uhid.product));
  return true;
}

void UhidDriver::destroyDevice(size_t index) {
  devices_[index].destroy();
  say("device " + std::to_string(index) + " removed");
}

void UhidDriver::sendInput(size_t index, const Report& report) {
  devices_[index].sendInput(report.data(), report.size());
}

bool UhidDriver::findNodes() {
  bool all = true;
  for (size_t i = 0; i < host_.deviceCount(); ++i) {
    if (!host_.present(i) || !nodes_[i].empty()) continue;
    nodes_[i] = findHidrawNode(host_.serial(i), host_.port(i) + "/input0");
    if (nodes_[i].empty())
      all = false;
    else
      say("device " + std::to_string(i) + " is " + nodes_[i]);
  }
  return all;
}

bool UhidDriver::pump(int maxWaitMs, int extraFd, bool* extraReady) {
  const int timeoutMs = host_.advanceAndWaitMs(steadyMicroseconds(), maxWaitMs);

  std::vector<pollfd> fds;
  std::vector<size_t> owners;
  if (extraFd >= 0) fds.push_back({extraFd, POLLIN, 0});
  for (size_t i = 0; i < devices_.size(); ++i) {
    if (!devices_[i].created()) continue;
    fds.push_back({devices_[i].fd(), POLLIN, 0});
    owners.push_back(i);
  }
  if (::poll(fds.data(), fds.size(), timeoutMs) < 0) return true;  // EINTR
  size_t first = 0;
  if (extraFd >= 0) {
    if (extraReady != nullptr) *extraReady = fds[0].revents != 0;
    first = 1;
  }
  for (size_t k = first; k < fds.size(); ++k) {
    if (fds[k].revents == 0) continue;
    const size_t i = owners[k - first];
    // Drain the node: the kernel queues events while we were busy.
    while (devices_[i].created()) {
      const UhidEvent event = devices_[i].readEvent();
      if (event.kind == UhidEventKind::kNone) break;
      if (event.kind == UhidEventKind::kFailed) {
        std::fprintf(stderr, "tavrin-uhid-sim: device %zu: uhid read failed\n", i);
        return false;
      }
      if (event.kind == UhidEventKind::kOutput)
        host_.receive(i, event.data.data(), event.data.size(), steadyMicroseconds());
    }
  }
  host_.advance(steadyMicroseconds());
  return true;
}

int serveOverUhid(const SimOptions& options) {
  UhidDriver driver(options);
  return serveSimulatedDevices(options, driver, "tavrin-uhid-sim");
}
