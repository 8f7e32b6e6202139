#include "hid/hid_platform_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <system_error>

#include "hid/device_identity.h"
#include "protocol/frame_format.h"
#include "hid/report_descriptor.h"

namespace {

// hidraw reports can be large; a short buffer would truncate them silently.
constexpr size_t kReadBufferSize = 4096;
// A device that floods its input queue must not keep a flush going forever.
constexpr int kMaxFlushReads = 1024;
// sysfs attribute files are small; cap what we read of them.
constexpr size_t kMaxAttributeSize = 16384;

int64_t nowMilliseconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool readSmallFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->clear();
  char buffer[1024];
  while (out->size() < kMaxAttributeSize && in.read(buffer, sizeof buffer).gcount() > 0)
    out->append(buffer, static_cast<size_t>(in.gcount()));
  return true;
}

std::string parentDirectory(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string baseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "hidraw12" -> 12, for a stable enumeration order.
long nodeNumber(const std::string& name) {
  size_t digits = name.find_first_of("0123456789");
  if (digits == std::string::npos) return LONG_MAX;
  return std::strtol(name.c_str() + digits, nullptr, 10);
}

bool parseHex16(const std::string& text, uint16_t* out) {
  if (text.empty() || text.size() > 8) return false;
  uint32_t value = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return false;
    value = value * 16 + static_cast<uint32_t>(digit);
  }
  if (value > 0xFFFF) return false;
  *out = static_cast<uint16_t>(value);
  return true;
}

// The system's words for an errno value.
std::string systemError(int error) {
  return std::system_category().message(error);
}

// Why poll() said a node is gone (POLLERR, POLLHUP, POLLNVAL).
std::string goneReason(short revents) {
  return (revents & POLLNVAL) != 0  ? systemError(EBADF)
         : (revents & POLLHUP) != 0 ? "the node hung up (POLLHUP)"
                                    : "the node reports an error (POLLERR)";
}

// *why receives the reason of a failure.
HidWaitResult waitFor(int fd, short events, int64_t deadline, std::string* why) {
  for (;;) {
    int64_t remaining = deadline - nowMilliseconds();
    if (remaining <= 0) return kHidWaitTimeout;
    pollfd p{fd, events, 0};
    int ready = poll(&p, 1, static_cast<int>(std::min<int64_t>(remaining, INT_MAX)));
    if (ready == 0) return kHidWaitTimeout;
    if (ready < 0) {
      if (errno == EINTR) continue;
      *why = systemError(errno);
      return kHidWaitFailed;
    }
    if (p.revents & events) return kHidWaitDone;
    *why = goneReason(p.revents);
    return kHidWaitFailed;
  }
}

}  // namespace

bool parseHidId(const std::string& value, uint16_t* vendorId, uint16_t* productId) {
  size_t first = value.find(':');
  if (first == std::string::npos) return false;
  size_t second = value.find(':', first + 1);
  if (second == std::string::npos) return false;
  return parseHex16(value.substr(first + 1, second - first - 1), vendorId) &&
         parseHex16(value.substr(second + 1), productId);
}

bool parseHidDeviceName(const std::string& name, uint16_t* bus, uint16_t* vendorId,
                        uint16_t* productId) {
  const size_t first = name.find(':');
  const size_t second = first == std::string::npos ? first : name.find(':', first + 1);
  const size_t dot = second == std::string::npos ? second : name.find('.', second + 1);
  // The instance counts every HID device since boot: it may outgrow 16 bits.
  if (dot == std::string::npos || dot + 1 == name.size() ||
      name.find_first_not_of("0123456789ABCDEFabcdef", dot + 1) != std::string::npos)
    return false;
  return parseHex16(name.substr(0, first), bus) &&
         parseHex16(name.substr(first + 1, second - first - 1), vendorId) &&
         parseHex16(name.substr(second + 1, dot - second - 1), productId);
}

HidUevent parseHidUevent(const std::string& text) {
  HidUevent fields;
  constexpr size_t npos = std::string::npos;
  const auto startsLine = [&text](size_t at) { return at == 0 || text[at - 1] == '\n'; };
  // The first line starting with key at or after from; npos when none.
  const auto first = [&](const char* key, size_t from) {
    for (size_t at = text.find(key, from); at != npos; at = text.find(key, at + 1))
      if (startsLine(at)) return at;
    return npos;
  };
  // The last line starting with key before end; npos when none.
  const auto last = [&](const char* key, size_t end) {
    for (size_t at = end == 0 ? npos : text.rfind(key, end - 1); at != npos;
         at = at == 0 ? npos : text.rfind(key, at - 1))
      if (startsLine(at)) return at;
    return npos;
  };
  // The value of the line(s) from a key of length keyLength at at up to end:
  // without the line feed that ends it.
  const auto value = [&text](size_t at, size_t keyLength, size_t end) {
    std::string v = text.substr(at + keyLength, end - at - keyLength);
    if (!v.empty() && v.back() == '\n') v.pop_back();
    return v;
  };
  const size_t id = first("HID_ID=", 0);
  if (id == npos) return fields;
  const size_t idEnd = std::min(text.find('\n', id), text.size());
  const std::string idValue = text.substr(id + 7, idEnd - id - 7);
  fields.haveId = parseHidId(idValue, &fields.vendorId, &fields.productId) &&
                  parseHex16(idValue.substr(0, idValue.find(':')), &fields.bus);
  size_t end = last("MODALIAS=", text.size());
  if (end == npos || end < idEnd) end = text.size();
  const size_t uniq = last("HID_UNIQ=", end);
  if (uniq != npos && uniq > idEnd) {
    fields.uniq = value(uniq, 9, end);
    end = uniq;
  }
  const size_t phys = last("HID_PHYS=", end);
  if (phys != npos && phys > idEnd) {
    fields.phys = value(phys, 9, end);
    end = phys;
  }
  const size_t name = first("HID_NAME=", idEnd);
  if (name != npos && name < end) fields.name = value(name, 9, end);
  return fields;
}

LinuxHidPlatform::LinuxHidPlatform(std::string sysfsRoot, std::string devRoot)
    : sysfsRoot_(std::move(sysfsRoot)), devRoot_(std::move(devRoot)) {}

bool LinuxHidPlatform::enumerateInterfaces(std::vector<std::string>* paths) {
  const std::string classDir = sysfsRoot_ + "/class/hidraw";
  DIR* dir = opendir(classDir.c_str());
  if (dir == nullptr) return false;
  std::vector<std::pair<long, std::string>> found;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.compare(0, 6, "hidraw") != 0) continue;
    // The class entry is a link into the device tree; the resolved directory
    // names the HID instance, so it changes when the device re-enumerates
    // even if the kernel hands out the same minor again.
    char* resolved = realpath((classDir + "/" + name).c_str(), nullptr);
    if (resolved == nullptr) continue;
    found.emplace_back(nodeNumber(name), resolved);
    std::free(resolved);
  }
  closedir(dir);
  std::sort(found.begin(), found.end());
  paths->clear();
  for (auto& entry : found) paths->push_back(std::move(entry.second));
  return true;
}

bool LinuxHidPlatform::isPresent(const std::string& path) {
  struct stat st {};
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool LinuxHidPlatform::describe(const std::string& path, HidInterfaceInfo* info) {
  if (!isPresent(path)) return false;
  // <hid device>/hidraw/hidrawN: the HID device directory is two levels up.
  const std::string hidDir = parentDirectory(parentDirectory(path));
  std::string uevent;
  if (!readSmallFile(hidDir + "/uevent", &uevent)) return false;
  HidInterfaceInfo result;
  result.path = path;
  result.node = devRoot_ + "/" + baseName(path);
  // The product names itself, and its name may carry lines of its own (see
  // parseHidUevent): what selects a device comes from where such text cannot
  // reach. The ids from the HID device's directory name, which the kernel
  // makes from numbers alone.
  const HidUevent fields = parseHidUevent(uevent);
  uint16_t bus = 0;
  if (!parseHidDeviceName(baseName(hidDir), &bus, &result.vendorId, &result.productId)) {
    if (!fields.haveId) return false;
    bus = fields.bus;
    result.vendorId = fields.vendorId;
    result.productId = fields.productId;
  }
  result.product = fields.name;
  result.serial = fields.uniq;
  // On USB the port is the USB device's directory, and the serial its own
  // attribute, a file of its own ("%s\n"): a USB device's HID_UNIQ is its
  // serial string, device text like its name.
  constexpr uint16_t kBusUsb = 0x0003;
  const std::string usbDevice = linuxUsbDeviceDirectory(path);
  if (bus == kBusUsb && !usbDevice.empty()) {
    if (!readSmallFile(usbDevice + "/serial", &result.serial)) result.serial.clear();
    if (!result.serial.empty() && result.serial.back() == '\n') result.serial.pop_back();
  }
  result.port = linuxInterfacePort(path, fields.phys);
  std::string descriptor;
  std::vector<TopLevelCollection> collections;
  if (readSmallFile(hidDir + "/report_descriptor", &descriptor))
    parseTopLevelCollections(reinterpret_cast<const uint8_t*>(descriptor.data()), descriptor.size(),
                             &collections);
  // One node carries every collection of its device; report ours when present.
  if (hasTopLevelCollection(collections, kTavrinUsagePage, kTavrinUsage)) {
    result.usagePage = kTavrinUsagePage;
    result.usage = kTavrinUsage;
  } else if (!collections.empty()) {
    result.usagePage = collections.front().usagePage;
    result.usage = collections.front().usage;
  }
  *info = std::move(result);
  return true;
}

std::unique_ptr<HidConnection> LinuxHidPlatform::open(const std::string& path,
                                                      HidOpenPurpose /*purpose*/,
                                                      HidOpenError* error,
                                                      std::string* errorText) {
  if (errorText != nullptr) errorText->clear();
  HidInterfaceInfo info;
  if (!describe(path, &info)) {
    *error = kHidOpenNotFound;
    return nullptr;
  }
  int fd = ::open(info.node.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errorText != nullptr) *errorText = systemError(errno);
    if (errno == EACCES || errno == EPERM)
      *error = kHidOpenDenied;
    else if (errno == ENOENT || errno == ENODEV || errno == ENXIO)
      *error = kHidOpenNotFound;
    else
      *error = kHidOpenFailed;
    return nullptr;
  }
  // The device may have restarted between reading its identity and opening
  // the node, and a new device taken over the same minor. Sysfs paths carry a
  // per-instance counter and never come back, so a path still present after
  // the open proves the node is the device that was described.
  if (!isPresent(path)) {
    ::close(fd);
    *error = kHidOpenNotFound;
    return nullptr;
  }
  *error = kHidOpenOk;
  // usbhid holds a write until the device takes it; the others queue it.
  const HidrawWrites writes =
      linuxUsbDevice(path).empty() ? HidrawWrites::kInline : HidrawWrites::kByWriter;
  return std::make_unique<HidrawConnection>(fd, info, writes);
}

int64_t LinuxHidPlatform::monotonicMilliseconds() {
  return nowMilliseconds();
}

void LinuxHidPlatform::sleepMilliseconds(uint32_t ms) {
  timespec remaining{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

HidrawConnection::HidrawConnection(int fd, const HidInterfaceInfo& info, HidrawWrites writes)
    : fd_(fd), info_(info), writes_(writes) {}

HidrawConnection::~HidrawConnection() {
  // The writer has a copy of the node of its own, which it closes once no
  // write of it is in the kernel.
  if (writer_) writer_->close();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool HidrawConnection::readAttributes(uint16_t* vendorId, uint16_t* productId) {
  *vendorId = info_.vendorId;
  *productId = info_.productId;
  return true;
}

bool HidrawConnection::readCaps(uint16_t* usagePage, uint16_t* usage) {
  *usagePage = info_.usagePage;
  *usage = info_.usage;
  return true;
}

void HidrawConnection::flushInput() {
  uint8_t buffer[kReadBufferSize];
  for (int i = 0; i < kMaxFlushReads; ++i) {
    ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    break;  // EAGAIN: the queue is empty; anything else is left to the transfer
  }
}

HidWaitResult HidrawConnection::failed(std::string why) {
  lastError_ = std::move(why);
  return kHidWaitFailed;
}

HidWaitResult HidrawConnection::writeInline(const uint8_t* report, int64_t deadline) {
  for (;;) {
    ssize_t n = ::write(fd_, report, kReportSize);
    if (n == static_cast<ssize_t>(kReportSize)) return kHidWaitDone;
    if (n >= 0) return failed("the report was taken in part");  // never done in part
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return failed(systemError(errno));
    HidWaitResult wait = waitFor(fd_, POLLOUT, deadline, &lastError_);
    if (wait != kHidWaitDone) return wait;
  }
}

HidWaitResult HidrawConnection::writeReport(const uint8_t* report, uint32_t timeoutMs) {
  lastError_.clear();
  if (writes_ == HidrawWrites::kInline) return writeInline(report, nowMilliseconds() + timeoutMs);
  return writeByWriter(report, timeoutMs);
}

bool HidrawConnection::startWriter() {
  auto writer = std::make_unique<HidrawWriter>(fd_);
  if (!writer->start()) return false;
  writer_ = std::move(writer);
  return true;
}

HidWaitResult HidrawConnection::writeByWriter(const uint8_t* report, uint32_t timeoutMs) {
  const int64_t deadlineMs = nowMilliseconds() + timeoutMs;
  const timespec deadline = monotonicDeadline(timeoutMs);
  if (!writer_ && !startWriter()) return failed("no writer for the node");
  HidrawWriteEnd end;
  // A write given up on before may still be in the kernel; this report goes
  // only after it, and only within this wait.
  if (held_) {
    if (!writer_->waitUntil(deadline, &end)) return kHidWaitTimeout;
    held_ = false;
  }
  heldEnd_ = kHidNoHeldWrite;
  for (;;) {
    if (!writer_->write(report, kReportSize, deadline, &end)) {
      held_ = true;
      std::memcpy(heldReport_, report, kReportSize);
      return kHidWaitTimeout;
    }
    if (end.written == static_cast<ssize_t>(kReportSize)) return kHidWaitDone;
    if (end.written >= 0) return failed("the report was taken in part");  // never done in part
    if (end.error != EAGAIN && end.error != EWOULDBLOCK) return failed(systemError(end.error));
    const HidWaitResult wait = waitFor(fd_, POLLOUT, deadlineMs, &lastError_);
    if (wait != kHidWaitDone) return wait;
  }
}

HidHeldWrite HidrawConnection::heldWrite(uint32_t timeoutMs, uint8_t* report) {
  if (!held_) {
    if (heldEnd_ != kHidNoHeldWrite) std::memcpy(report, heldReport_, kReportSize);
    return heldEnd_;
  }
  std::memcpy(report, heldReport_, kReportSize);
  HidrawWriteEnd end;
  if (!writer_->waitUntil(monotonicDeadline(timeoutMs), &end)) return kHidWriteHeld;
  held_ = false;
  if (end.written == static_cast<ssize_t>(kReportSize)) return kHidHeldWriteTaken;
  // usbhid gives up after its five seconds with ETIMEDOUT; a device that
  // went away fails the write otherwise.
  const bool refused = end.written < 0 &&
                       (end.error == ETIMEDOUT || end.error == EAGAIN || end.error == EWOULDBLOCK);
  heldEnd_ = refused ? kHidHeldWriteRefused : kHidHeldWriteFailed;
  return heldEnd_;
}

bool HidrawConnection::takeInput(uint8_t* report, bool* first, uint32_t* immediateCount,
                                 HidWaitResult* result) {
  uint8_t buffer[kReadBufferSize];
  // A collection that never stops reporting must not hold the wait open:
  // after so many reads the caller looks at its deadline.
  for (int i = 0; i < kMaxFlushReads; ++i) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n > 0) {
      // Other collections of the same node (a scanner's keyboard half) report
      // here too; only our report id is an answer.
      if (buffer[0] == report[0]) {
        const size_t count = std::min<size_t>(static_cast<size_t>(n), kReportSize);
        std::memcpy(report, buffer, count);
        std::memset(report + count, 0, kReportSize - count);
        if (*first) *immediateCount = static_cast<uint32_t>(n);
        *result = kHidWaitDone;
        return true;
      }
      *first = false;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    *first = false;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
    // End of file or an error: the other side is gone.
    *result = failed(n == 0 ? std::string("end of file") : systemError(errno));
    return true;
  }
  return false;
}

HidWaitResult HidrawConnection::readReport(uint8_t* report, uint32_t timeoutMs,
                                           uint32_t* immediateCount) {
  lastError_.clear();
  const int64_t deadline = nowMilliseconds() + timeoutMs;
  *immediateCount = 0;
  bool first = true;
  for (;;) {
    HidWaitResult result;
    if (takeInput(report, &first, immediateCount, &result)) return result;
    const HidWaitResult wait = waitFor(fd_, POLLIN, deadline, &lastError_);
    if (wait != kHidWaitDone) return wait;
  }
}

HidWaitResult HidrawConnection::exchangeReports(const uint8_t* request, uint8_t* response,
                                                uint32_t timeoutMs, uint32_t* immediateCount,
                                                bool* written) {
  // Behind a held write the plain course waits for it within the write's wait.
  if (writes_ == HidrawWrites::kInline || held_)
    return HidConnection::exchangeReports(request, response, timeoutMs, immediateCount, written);
  lastError_.clear();
  *written = false;
  *immediateCount = 0;
  if (!writer_ && !startWriter()) return failed("no writer for the node");
  heldEnd_ = kHidNoHeldWrite;
  const int64_t writeDeadlineMs = nowMilliseconds() + timeoutMs;
  const timespec writeDeadline = monotonicDeadline(timeoutMs);
  timespec deadline = writeDeadline;
  writer_->handOver(request, kReportSize);
  // Nothing can answer before the report is written: the first look is the
  // wait itself.
  bool first = false;
  bool look = false;
  for (;;) {
    HidrawWriteEnd end;
    if (!*written && writer_->ended(&end)) {
      if (end.written != static_cast<ssize_t>(kReportSize)) {
        if (end.written >= 0) return failed("the report was taken in part");
        if (end.error != EAGAIN && end.error != EWOULDBLOCK) return failed(systemError(end.error));
        // The node's queue is full: the report goes again once there is
        // room, within the same wait.
        const HidWaitResult room = waitFor(fd_, POLLOUT, writeDeadlineMs, &lastError_);
        if (room != kHidWaitDone) return room;
        writer_->handOver(request, kReportSize);
        continue;
      }
      // The read's wait counts from the end of the write.
      *written = true;
      deadline = addMilliseconds(end.at, timeoutMs);
    }
    HidWaitResult result;
    if (look && takeInput(response, &first, immediateCount, &result)) {
      // An answer means the device took the report: the writer has returned
      // from its write, or is about to.
      if (!*written && result == kHidWaitDone)
        *written = writer_->waitUntil(writeDeadline, &end) &&
                   end.written == static_cast<ssize_t>(kReportSize);
      if (*written || result != kHidWaitDone) return result;
      return failed("an answer came, but the write did not end");
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (notBefore(now, deadline)) {
      if (!*written) {
        held_ = true;
        std::memcpy(heldReport_, request, kReportSize);
      }
      return kHidWaitTimeout;
    }
    timespec remaining{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
    if (remaining.tv_nsec < 0) {
      remaining.tv_sec -= 1;
      remaining.tv_nsec += 1000000000L;
    }
    // The writer wakes this wait only when its write fails; a write that
    // went well is followed by the answer, which does.
    pollfd fds[2] = {{fd_, POLLIN, 0}, {writer_->failureFd(), POLLIN, 0}};
    const int ready = ppoll(fds, 2, &remaining, nullptr);
    look = true;
    if (ready < 0 && errno != EINTR) return failed(systemError(errno));
    // A node that is gone still gives the reports it took before: the
    // answer of a device that answered, then went away, is read first.
    if (ready > 0 && (fds[0].revents & POLLIN) == 0 &&
        (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
      return failed(goneReason(fds[0].revents));
  }
}

std::unique_ptr<HidPlatform> createNativeHidPlatform() {
  return std::make_unique<LinuxHidPlatform>();
}

bool LinuxHidPlatform::waitForChange(uint32_t timeoutMs) {
  if (!monitorTried_) {
    monitorTried_ = true;
    // Where netlink is closed to us (a sandbox), enumerating again is all there is.
    if (!monitor_.open()) return HidPlatform::waitForChange(timeoutMs);
    // Whatever came before the socket listened is unknown.
    return true;
  }
  if (!monitor_.isOpen()) return HidPlatform::waitForChange(timeoutMs);
  return monitor_.wait(timeoutMs);
}

const char* LinuxHidPlatform::permissionAdvice() const {
  return "the udev rule 70-tavrin.rules that comes with tavrin gives the logged-in user access "
         "(replug the device once it is installed); tavrin --udev-rule with the device's ids "
         "prints a narrower one; or run tavrin as root";
}
