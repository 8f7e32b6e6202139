#include "tools/sim/uhid_device.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/uhid.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

std::vector<uint8_t> bootloaderReportDescriptor() {
  return {
      0x06, 0x8C, 0x00,  // Usage Page (bar code scanner)
      0x09, 0x01,        // Usage (0x01)
      0xA1, 0x01,        // Collection (Application)
      0x15, 0x00,        //   Logical Minimum (0)
      0x26, 0xFF, 0x00,  //   Logical Maximum (255)
      0x75, 0x08,        //   Report Size (8)
      0x85, 0xB1,        //   Report ID (0xB1)
      0x95, 0x20,        //   Report Count (32)
      0x09, 0x02,        //   Usage (0x02)
      0x81, 0x02,        //   Input (Data, Variable, Absolute)
      0x85, 0xB2,        //   Report ID (0xB2)
      0x95, 0x20,        //   Report Count (32)
      0x09, 0x03,        //   Usage (0x03)
      0x91, 0x02,        //   Output (Data, Variable, Absolute)
      0xC0,              // End Collection
  };
}

std::vector<uint8_t> keyboardReportDescriptor() {
  return {
      0x05, 0x01,        // Usage Page (Generic Desktop)
      0x09, 0x06,        // Usage (Keyboard)
      0xA1, 0x01,        // Collection (Application)
      0x85, 0x01,        //   Report ID (1)
      0x05, 0x07,        //   Usage Page (Keyboard)
      0x19, 0xE0,        //   Usage Minimum (Left Control)
      0x29, 0xE7,        //   Usage Maximum (Right GUI)
      0x15, 0x00,        //   Logical Minimum (0)
      0x25, 0x01,        //   Logical Maximum (1)
      0x75, 0x01,        //   Report Size (1)
      0x95, 0x08,        //   Report Count (8)
      0x81, 0x02,        //   Input (Data, Variable, Absolute)
      0x95, 0x01,        //   Report Count (1)
      0x75, 0x08,        //   Report Size (8)
      0x81, 0x01,        //   Input (Constant)
      0x95, 0x06,        //   Report Count (6)
      0x75, 0x08,        //   Report Size (8)
      0x15, 0x00,        //   Logical Minimum (0)
      0x26, 0xFF, 0x00,  //   Logical Maximum (255)
      0x05, 0x07,        //   Usage Page (Keyboard)
      0x19, 0x00,        //   Usage Minimum (0)
      0x29, 0xFF,        //   Usage Maximum (255)
      0x81, 0x00,        //   Input (Data, Array)
      0xC0,              // End Collection
  };
}

UhidDevice::~UhidDevice() {
  destroy();
}

bool UhidDevice::createOn(int fd, const UhidIdentity& identity, std::string& error) {
  destroy();
  fd_ = fd;
  if (fd_ < 0) {
    error = "no uhid node";
    return false;
  }
  uhid_event ev{};
  ev.type = UHID_CREATE2;
  auto& req = ev.u.create2;
  std::strncpy(reinterpret_cast<char*>(req.name), identity.name.c_str(), sizeof req.name - 1);
  std::strncpy(reinterpret_cast<char*>(req.phys), identity.phys.c_str(), sizeof req.phys - 1);
  std::strncpy(reinterpret_cast<char*>(req.uniq), identity.uniq.c_str(), sizeof req.uniq - 1);
  if (identity.descriptor.size() > sizeof req.rd_data) {
    error = "report descriptor too long";
    destroy();
    return false;
  }
  req.rd_size = static_cast<uint16_t>(identity.descriptor.size());
  std::memcpy(req.rd_data, identity.descriptor.data(), identity.descriptor.size());
  req.bus = 0x03;  // USB, so the node looks like the real device's
  req.vendor = identity.vendor;
  req.product = identity.product;
  req.version = identity.version;
  if (!writeEvent(&ev, sizeof ev)) {
    error = std::string("UHID_CREATE2 failed: ") + std::strerror(errno);
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  return true;
}

void UhidDevice::destroy() {
  if (fd_ < 0) return;
  uhid_event ev{};
  ev.type = UHID_DESTROY;
  writeEvent(&ev, sizeof ev);
  // Closing the node destroys the device too; the explicit event only makes
  // the removal independent of when the descriptor is finally released.
  ::close(fd_);
  fd_ = -1;
}

bool UhidDevice::writeEvent(const void* event, size_t size) {
  for (;;) {
    ssize_t n = ::write(fd_, event, size);
    if (n == static_cast<ssize_t>(size)) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

void UhidDevice::answerReportRequest(uint32_t type, uint32_t id) {
  // No feature reports: refuse so that a caller of HIDIOCGFEATURE does not
  // wait for the kernel's five-second time-out.
  uhid_event ev{};
  if (type == UHID_GET_REPORT) {
    ev.type = UHID_GET_REPORT_REPLY;
    ev.u.get_report_reply.id = id;
    ev.u.get_report_reply.err = EIO;
  } else {
    ev.type = UHID_SET_REPORT_REPLY;
    ev.u.set_report_reply.id = id;
    ev.u.set_report_reply.err = EIO;
  }
  writeEvent(&ev, sizeof ev);
}

UhidEvent UhidDevice::readEvent() {
  UhidEvent out;
  if (fd_ < 0) {
    out.kind = UhidEventKind::kFailed;
    return out;
  }
  uhid_event ev{};
  ssize_t n = ::read(fd_, &ev, sizeof ev);
  if (n < 0) {
    out.kind = (errno == EAGAIN || errno == EINTR) ? UhidEventKind::kNone : UhidEventKind::kFailed;
    return out;
  }
  if (n < static_cast<ssize_t>(sizeof ev.type)) {
    out.kind = UhidEventKind::kFailed;
    return out;
  }
  switch (ev.type) {
    case UHID_START:
      out.kind = UhidEventKind::kStart;
      break;
    case UHID_STOP:
      out.kind = UhidEventKind::kStop;
      break;
    case UHID_OPEN:
      out.kind = UhidEventKind::kOpen;
      break;
    case UHID_CLOSE:
      out.kind = UhidEventKind::kClose;
      break;
    case UHID_OUTPUT: {
      out.kind = UhidEventKind::kOutput;
      size_t size = ev.u.output.size;
      if (size > sizeof ev.u.output.data) size = sizeof ev.u.output.data;
      out.data.assign(ev.u.output.data, ev.u.output.data + size);
      break;
    }
    case UHID_GET_REPORT:
      answerReportRequest(UHID_GET_REPORT, ev.u.get_report.id);
      out.kind = UhidEventKind::kOther;
      break;
    case UHID_SET_REPORT:
      answerReportRequest(UHID_SET_REPORT, ev.u.set_report.id);
      out.kind = UhidEventKind::kOther;
      break;
    default:
      out.kind = UhidEventKind::kOther;
      break;
  }
  return out;
}

bool UhidDevice::sendInput(const uint8_t* data, size_t size) {
  if (fd_ < 0) return false;
  uhid_event ev{};
  ev.type = UHID_INPUT2;
  if (size > sizeof ev.u.input2.data) return false;
  ev.u.input2.size = static_cast<uint16_t>(size);
  std::memcpy(ev.u.input2.data, data, size);
  // Only the used part of the event goes out: the kernel accepts a short
  // UHID_INPUT2 and copying 4 KiB per report would dominate the exchange.
  size_t used = offsetof(uhid_event, u) + offsetof(uhid_input2_req, data) + size;
  return writeEvent(&ev, used);
}

std::string findHidrawNode(const std::string& uniq, const std::string& phys,
                           const std::string& sysfsRoot) {
  std::string classDir = sysfsRoot + "/class/hidraw";
  DIR* dir = ::opendir(classDir.c_str());
  if (dir == nullptr) return {};
  std::string found;
  while (dirent* entry = ::readdir(dir)) {
    if (std::strncmp(entry->d_name, "hidraw", 6) != 0) continue;
    std::ifstream uevent(classDir + "/" + entry->d_name + "/device/uevent");
    std::string line;
    bool sameUniq = false, samePhys = false;
    while (std::getline(uevent, line)) {
      sameUniq = sameUniq || line == "HID_UNIQ=" + uniq;
      samePhys = samePhys || line == "HID_PHYS=" + phys;
    }
    if (sameUniq && samePhys) {
      found = entry->d_name;
      break;
    }
  }
  ::closedir(dir);
  return found;
}
