#include "tools/sim/gadget_driver.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "tools/sim/uhid_device.h"

namespace {

// The gadget's one configuration and one function, inside its folder; the
// function is linked into the configuration under its own name.
const char* const kConfig = "/configs/c.1";
const char* const kFunction = "/functions/hid.0";
const char* const kFunctionLink = "/configs/c.1/hid.0";
// How long the IN endpoint gets to hand the answers on before the cable goes:
// a device sends its last answer, then resets.
constexpr int64_t kDeliverBeforeDisconnectUs = 250000;

void pause10ms() {
  timespec pause{0, 10 * 1000000L};
  ::nanosleep(&pause, nullptr);
}

std::string errnoText() {
  return std::strerror(errno);
}

bool writeAttribute(const std::string& path, const std::string& value, std::string& error) {
  // configfs takes an attribute in one write.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "cannot open " + path + ": " + errnoText();
    return false;
  }
  const ssize_t n = ::write(fd, value.data(), value.size());
  if (n != static_cast<ssize_t>(value.size())) {
    error = "cannot write " + path + ": " + (n < 0 ? errnoText() : std::string("short write"));
    ::close(fd);
    return false;
  }
  ::close(fd);
  return true;
}

bool readAttribute(const std::string& path, std::string& value) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[4096];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  ::close(fd);
  if (n < 0) return false;
  value.assign(buffer, static_cast<size_t>(n));
  return true;
}

bool makeFolder(const std::string& path, std::string& error) {
  if (::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
  error = "cannot make " + path + ": " + errnoText();
  return false;
}

std::string hex16(uint16_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04x\n", value);
  return text;
}

// The names in folder that start with prefix and continue with a number, by
// that number.
std::vector<std::pair<long, std::string>> numberedEntries(const std::string& folder,
                                                          const std::string& prefix) {
  std::vector<std::pair<long, std::string>> found;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return found;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0 || name.size() == prefix.size()) continue;
    char* end = nullptr;
    const long number = std::strtol(name.c_str() + prefix.size(), &end, 10);
    if (*end == '\0') found.emplace_back(number, name);
  }
  ::closedir(dir);
  std::sort(found.begin(), found.end());
  return found;
}

// Unbinds and removes a gadget folder, ours from an earlier run or this one;
// what is not there is passed over.
void removeGadgetFolder(const std::string& dir) {
  std::string ignored;
  struct stat st {};
  if (::stat((dir + "/UDC").c_str(), &st) == 0) writeAttribute(dir + "/UDC", "\n", ignored);
  ::unlink((dir + kFunctionLink).c_str());
  ::rmdir((dir + kConfig + "/strings/0x409").c_str());
  ::rmdir((dir + kConfig).c_str());
  ::rmdir((dir + kFunction).c_str());
  ::rmdir((dir + "/strings/0x409").c_str());
  ::rmdir(dir.c_str());
}

// usbhid names an interface after its host controller and port.
std::string interfacePhys(const DummyController& controller) {
  return "usb-" + controller.hcd + "-1/input0";
}

// True while some hidraw node's HID device sits at phys.
bool hidrawWithPhys(const std::string& sysfsRoot, const std::string& phys) {
  const std::string classDir = sysfsRoot + "/class/hidraw";
  for (const auto& node : numberedEntries(classDir, "hidraw")) {
    std::string uevent;
    if (readAttribute(classDir + "/" + node.second + "/device/uevent", uevent) &&
        ("\n" + uevent).find("\nHID_PHYS=" + phys + "\n") != std::string::npos)
      return true;
  }
  return false;
}

int openHidgNode(const std::string& devRoot, const std::string& functionDir, std::string& error) {
  // "dev" holds "major:minor"; the node is named after the minor.
  std::string dev;
  const size_t colon = readAttribute(functionDir + "/dev", dev) ? dev.find(':') : std::string::npos;
  if (colon == std::string::npos) {
    error = "cannot read " + functionDir + "/dev";
    return -1;
  }
  const std::string path = devRoot + "/hidg" + std::to_string(std::atoi(dev.c_str() + colon + 1));
  // devtmpfs has made the node when the bind returns; udev may take a while.
  for (int attempt = 0; attempt < 200; ++attempt) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) return fd;
    if (errno != ENOENT) break;
    pause10ms();
  }
  error = "cannot open " + path + ": " + errnoText();
  return -1;
}

}  // namespace

std::vector<DummyController> findDummyControllers(const std::string& sysfsRoot) {
  std::vector<DummyController> controllers;
  for (const auto& udc : numberedEntries(sysfsRoot + "/class/udc", "dummy_udc.")) {
    DummyController controller;
    controller.udc = udc.second;
    controller.hcd = "dummy_hcd." + std::to_string(udc.first);
    // The host controller's root hub is usbB; its one port is B-1. (With
    // SuperSpeed there is a second root hub; a gadget at high speed or below
    // goes to the first.)
    const auto hubs = numberedEntries(sysfsRoot + "/devices/platform/" + controller.hcd, "usb");
    if (hubs.empty()) continue;
    controller.port = std::to_string(hubs.front().first) + "-1";
    controllers.push_back(controller);
  }
  return controllers;
}

GadgetNodeOpener gadgetNodeOpener(const std::string& devRoot) {
  return [devRoot](const std::string& functionDir, std::string& error) {
    return openHidgNode(devRoot, functionDir, error);
  };
}

GadgetDriver::GadgetDriver(const SimOptions& options, GadgetSystem system, GadgetNodeOpener opener)
    : options_(options),
      system_(std::move(system)),
      opener_(opener ? std::move(opener) : gadgetNodeOpener(system_.dev)),
      host_(*this),
      gadgets_(options.devices.size()),
      nodes_(options.devices.size()) {}

GadgetDriver::~GadgetDriver() {
  for (Gadget& gadget : gadgets_) {
    unbind(gadget);
    if (gadget.built) removeGadgetFolder(gadget.dir);
  }
}

void GadgetDriver::say(const std::string& text) const {
  if (options_.verbose) std::fprintf(stderr, "tavrin-gadget-sim: %s\n", text.c_str());
}

bool GadgetDriver::start() {
  struct stat st {};
  if (::stat((system_.configfs + "/usb_gadget").c_str(), &st) != 0) {
    std::fprintf(stderr,
                 "tavrin-gadget-sim: no %s/usb_gadget: mount configfs there and load "
                 "libcomposite\n",
                 system_.configfs.c_str());
    return false;
  }
  const std::vector<DummyController> controllers = findDummyControllers(system_.sysfs);
  std::vector<bool> taken(controllers.size(), false);
  // Devices that name their port first, then the others on the free ones.
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t i = 0; i < gadgets_.size(); ++i) {
      const std::string& wanted = options_.devices[i].port;
      if ((pass == 0) == wanted.empty()) continue;
      size_t c = 0;
      while (c < controllers.size() &&
             (taken[c] || (!wanted.empty() && controllers[c].port != wanted)))
        ++c;
      if (c == controllers.size()) {
        if (!wanted.empty())
          std::fprintf(stderr, "tavrin-gadget-sim: device %zu: no free dummy_hcd port %s\n", i,
                       wanted.c_str());
        else
          std::fprintf(stderr,
                       "tavrin-gadget-sim: %zu devices need %zu dummy_hcd controllers, found %zu "
                       "(load dummy_hcd with num=%zu)\n",
                       gadgets_.size(), gadgets_.size(), controllers.size(), gadgets_.size());
        return false;
      }
      taken[c] = true;
      gadgets_[i].controller = controllers[c];
      gadgets_[i].dir = system_.configfs + "/usb_gadget/tavrin-" + controllers[c].udc;
    }
  }
  host_.setAnswerLatencyUs(int64_t{options_.answerDelayMs} * 1000);
  host_.setPollIntervalUs(int64_t{options_.intervalMs} * 1000);
  bool all = true;
  // Boards plugged in (bound) or pulled (unbound) later count from now.
  const int64_t originUs = steadyMicroseconds();
  for (size_t i = 0; i < gadgets_.size(); ++i) {
    const SimDeviceOptions& device = options_.devices[i];
    const size_t index =
        host_.addDevice(device.model, device.name, gadgets_[i].controller.port, device.serial,
                        device.appearAtMs < 0 ? -1 : originUs + device.appearAtMs * 1000);
    if (device.leaveAtMs >= 0) host_.scheduleUnplug(index, originUs + device.leaveAtMs * 1000);
    if (device.appearAtMs >= 0) continue;
    all = all && host_.present(index);
    // The host numbers the hidraw nodes in the order the devices finish
    // their enumeration, which runs in parallel: one at a time, the nodes
    // follow the devices' order.
    const int64_t giveUp = steadyMicroseconds() + system_.enumerationUs;
    while (host_.present(index) && !findNodes() && steadyMicroseconds() < giveUp) pause10ms();
  }
  return all;
}

bool GadgetDriver::build(Gadget& gadget, size_t index, std::string& error) {
  removeGadgetFolder(gadget.dir);  // left by a run that was killed
  waitForDisconnect(gadget);
  const std::string& d = gadget.dir;
  const std::string function = d + kFunction;
  const std::vector<uint8_t> descriptor = bootloaderReportDescriptor();
  // The folders configfs makes by itself are made (or found) too.
  bool ok = true;
  for (const std::string& folder :
       {d, d + "/strings", d + "/strings/0x409", d + "/configs", d + kConfig,
        d + kConfig + "/strings", d + kConfig + "/strings/0x409", d + "/functions", function})
    ok = ok && makeFolder(folder, error);
  ok = ok && writeAttribute(d + "/bcdUSB", "0x0200\n", error) &&
       writeAttribute(d + "/bcdDevice", "0x0100\n", error) &&
       writeAttribute(d + kConfig + "/strings/0x409/configuration", "HID\n", error) &&
       writeAttribute(d + kConfig + "/MaxPower", "100\n", error) &&
       writeAttribute(function + "/protocol", "0\n", error) &&
       writeAttribute(function + "/subclass", "0\n", error) &&
       writeAttribute(function + "/report_length", std::to_string(kReportSize) + "\n", error) &&
       writeAttribute(function + "/report_desc", std::string(descriptor.begin(), descriptor.end()),
                      error) &&
       (!options_.devices[index].noOutEndpoint ||
        writeAttribute(function + "/no_out_endpoint", "1\n", error));
  if (!ok) return false;
  if (::symlink(function.c_str(), (d + kFunctionLink).c_str()) != 0 && errno != EEXIST) {
    error = "cannot link the function into the configuration: " + errnoText();
    return false;
  }
  gadget.built = true;
  return true;
}

bool GadgetDriver::createDevice(size_t index, const SimIdentity& identity) {
  Gadget& gadget = gadgets_[index];
  std::string error;
  nodes_[index].clear();
  // A restart: the ids and strings change while the gadget is unbound, and
  // the new identity is what the host enumerates. (No manufacturer string:
  // usbhid would put it before the product in the HID name.)
  bool ok =
      (gadget.built || build(gadget, index, error)) &&
      writeAttribute(gadget.dir + "/idVendor", hex16(identity.vendorId), error) &&
      writeAttribute(gadget.dir + "/idProduct", hex16(identity.productId), error) &&
      writeAttribute(gadget.dir + "/strings/0x409/product", identity.name + "\n", error) &&
      writeAttribute(gadget.dir + "/strings/0x409/serialnumber", identity.serial + "\n", error) &&
      writeAttribute(gadget.dir + "/UDC", gadget.controller.udc + "\n", error);
  if (ok) {
    gadget.bound = true;
    gadget.fd = opener_(gadget.dir + kFunction, error);
    ok = gadget.fd >= 0;
  }
  if (!ok) {
    unbind(gadget);
    std::fprintf(stderr, "tavrin-gadget-sim: device %zu: %s\n", index, error.c_str());
    return false;
  }
  gadget.taking = true;
  char ids[16];
  std::snprintf(ids, sizeof ids, "%04x:%04x", identity.vendorId, identity.productId);
  say("device " + std::to_string(index) + " bound to " + gadget.controller.udc + " as " + ids);
  return true;
}

void GadgetDriver::unbind(Gadget& gadget) {
  if (gadget.fd >= 0) ::close(gadget.fd);
  gadget.fd = -1;
  gadget.outbox.clear();
  if (!gadget.bound) return;
  std::string ignored;
  writeAttribute(gadget.dir + "/UDC", "\n", ignored);
  gadget.bound = false;
}

void GadgetDriver::destroyDevice(size_t index) {
  Gadget& gadget = gadgets_[index];
  deliverOutbox(gadget, index);
  unbind(gadget);
  // Gone means gone for the host too, as a uhid device is once destroyed:
  // the node of the old appearance must not pass for the next one's.
  waitForDisconnect(gadget);
  say("device " + std::to_string(index) + " unbound");
}

void GadgetDriver::waitForDisconnect(const Gadget& gadget) const {
  const std::string phys = interfacePhys(gadget.controller);
  const int64_t giveUp = steadyMicroseconds() + system_.disconnectUs;
  while (hidrawWithPhys(system_.sysfs, phys) && steadyMicroseconds() < giveUp) pause10ms();
}

void GadgetDriver::stopTaking(size_t index) {
  gadgets_[index].taking = false;
  say("device " + std::to_string(index) + " takes no further output report");
}

void GadgetDriver::sendInput(size_t index, const Report& report) {
  Gadget& gadget = gadgets_[index];
  if (gadget.fd < 0) return;
  gadget.outbox.push_back(report);
  sendOutbox(gadget, index);
}

void GadgetDriver::sendOutbox(Gadget& gadget, size_t index) {
  // The IN endpoint holds one report until the host polls it; the rest wait.
  while (!gadget.outbox.empty()) {
    const ssize_t n = ::write(gadget.fd, gadget.outbox.front().data(), kReportSize);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    if (n != static_cast<ssize_t>(kReportSize)) {
      // ESHUTDOWN: the host has not configured the device; as on a device
      // nobody listens to, the report is lost.
      say("device " + std::to_string(index) +
          ": an input report was lost: " + (n < 0 ? errnoText() : std::string("short write")));
    }
    gadget.outbox.pop_front();
  }
}

void GadgetDriver::deliverOutbox(Gadget& gadget, size_t index) {
  if (gadget.fd < 0) return;
  const int64_t giveUp = steadyMicroseconds() + kDeliverBeforeDisconnectUs;
  // Writable again means the host has taken the last report written.
  for (;;) {
    sendOutbox(gadget, index);
    const int64_t left = giveUp - steadyMicroseconds();
    if (left <= 0) break;
    pollfd p{gadget.fd, POLLOUT, 0};
    const int ready = ::poll(&p, 1, static_cast<int>((left + 999) / 1000));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || gadget.outbox.empty()) break;
  }
  if (!gadget.outbox.empty())
    say("device " + std::to_string(index) + ": answers not taken before the disconnect");
}

bool GadgetDriver::readReports(Gadget& gadget, size_t index) {
  uint8_t buffer[64];
  // Receiving may unbind the device or stop it taking reports.
  while (gadget.fd >= 0 && gadget.taking) {
    const ssize_t n = ::read(gadget.fd, buffer, sizeof buffer);
    if (n > 0) {
      host_.receive(index, buffer, static_cast<size_t>(n), steadyMicroseconds());
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return true;
    std::fprintf(stderr, "tavrin-gadget-sim: device %zu: read failed: %s\n", index,
                 n < 0 ? errnoText().c_str() : "end of file");
    return false;
  }
  return true;
}

bool GadgetDriver::pump(int maxWaitMs, int extraFd, bool* extraReady) {
  const int timeoutMs = host_.advanceAndWaitMs(steadyMicroseconds(), maxWaitMs);

  std::vector<pollfd> fds;
  std::vector<size_t> owners;
  if (extraFd >= 0) fds.push_back({extraFd, POLLIN, 0});
  for (size_t i = 0; i < gadgets_.size(); ++i) {
    const Gadget& gadget = gadgets_[i];
    const short events =
        static_cast<short>((gadget.taking ? POLLIN : 0) | (gadget.outbox.empty() ? 0 : POLLOUT));
    if (gadget.fd < 0 || events == 0) continue;
    fds.push_back({gadget.fd, events, 0});
    owners.push_back(i);
  }
  if (::poll(fds.data(), fds.size(), timeoutMs) < 0) return true;  // EINTR
  size_t first = 0;
  if (extraFd >= 0) {
    if (extraReady != nullptr) *extraReady = fds[0].revents != 0;
    first = 1;
  }
  for (size_t k = first; k < fds.size(); ++k) {
    const size_t i = owners[k - first];
    Gadget& gadget = gadgets_[i];
    if (fds[k].revents == 0) continue;
    if (fds[k].revents & POLLOUT) sendOutbox(gadget, i);
    if ((fds[k].revents & POLLIN) && !readReports(gadget, i)) return false;
  }
  host_.advance(steadyMicroseconds());
  return true;
}

bool GadgetDriver::findNodes() {
  bool all = true;
  for (size_t i = 0; i < host_.deviceCount(); ++i) {
    if (!host_.present(i) || !nodes_[i].empty()) continue;
    nodes_[i] =
        findHidrawNode(host_.serial(i), interfacePhys(gadgets_[i].controller), system_.sysfs);
    if (nodes_[i].empty())
      all = false;
    else
      say("device " + std::to_string(i) + " is " + nodes_[i]);
  }
  return all;
}

int serveOverGadget(const SimOptions& options) {
  GadgetDriver driver(options);
  return serveSimulatedDevices(options, driver, "tavrin-gadget-sim");
}
