#include "hid/uevent_monitor.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace {

// The multicast group of the kernel's own messages (udev's are group 2).
constexpr uint32_t kKernelEvents = 1;
// One message is a few hundred bytes; the kernel caps it at 2048 plus header.
constexpr size_t kMessageBufferSize = 8192;
// A burst of events must not keep one wait reading forever.
constexpr int kMaxReadsPerWait = 256;

}  // namespace

bool isHidrawNodeEvent(const char* data, size_t size) {
  std::string_view message(data, size);
  const size_t headerEnd = message.find('\0');
  if (headerEnd == std::string_view::npos) return false;
  const std::string_view header = message.substr(0, headerEnd);
  // udev's own format ("libudev" then a binary header) never reaches group 1.
  const size_t at = header.find('@');
  if (at == std::string_view::npos) return false;
  const std::string_view action = header.substr(0, at);
  if (action != "add" && action != "remove") return false;
  bool hidraw = false;
  size_t start = headerEnd + 1;
  while (start < message.size()) {
    size_t end = message.find('\0', start);
    if (end == std::string_view::npos) end = message.size();
    if (message.substr(start, end - start) == "SUBSYSTEM=hidraw") hidraw = true;
    start = end + 1;
  }
  return hidraw;
}

bool UeventMonitor::open() {
  if (fd_ >= 0) return true;
  const int fd =
      ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
  if (fd < 0) return false;
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = kKernelEvents;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

bool UeventMonitor::wait(uint32_t timeoutMs) {
  if (fd_ < 0) return true;
  pollfd p{fd_, POLLIN, 0};
  const int ready = ::poll(&p, 1, static_cast<int>(timeoutMs));
  if (ready <= 0) return ready < 0 && errno != EINTR;
  bool changed = false;
  char buffer[kMessageBufferSize];
  for (int reads = 0; reads < kMaxReadsPerWait; ++reads) {
    sockaddr_nl sender{};
    socklen_t senderSize = sizeof sender;
    const ssize_t size = ::recvfrom(fd_, buffer, sizeof buffer, 0,
                                    reinterpret_cast<sockaddr*>(&sender), &senderSize);
    if (size < 0) {
      // ENOBUFS: the kernel dropped events for us; take it as a change.
      if (errno == ENOBUFS) changed = true;
      if (errno == EINTR || errno == ENOBUFS) continue;
      break;
    }
    // Only the kernel (port 0) speaks on this group; anything else is forged.
    if (sender.nl_pid != 0) continue;
    if (isHidrawNodeEvent(buffer, static_cast<size_t>(size))) changed = true;
  }
  return changed;
}

void UeventMonitor::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}
