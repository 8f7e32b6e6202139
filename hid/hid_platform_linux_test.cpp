#include "hid/hid_platform_linux.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/frame_format.h"
#include "hid/hid_manager.h"
#include "hid/transaction.h"
#include "tests/sim_support.h"

namespace fs = std::filesystem;

namespace {

const std::vector<uint8_t> kScannerDescriptor = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x85, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29,
    0xE7, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0xC0, 0x05,
    0x8C, 0x09, 0x01, 0xA1, 0x01, 0x85, 0xB1, 0x09, 0x02, 0x75, 0x08, 0x95, 0x20,
    0x81, 0x02, 0x85, 0xB2, 0x09, 0x03, 0x95, 0x20, 0x91, 0x02, 0xC0};
const std::vector<uint8_t> kMouseDescriptor = {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01,
                                               0x09, 0x01, 0xA1, 0x00, 0xC0, 0xC0};

// A sysfs tree and a /dev directory in a temporary directory, shaped like the
// kernel's: class/hidraw/hidrawN links into the device tree.
class FakeSysfs {
 public:
  FakeSysfs() {
    char pattern[] = "/tmp/tavrin-sysfs-XXXXXX";
    root_ = mkdtemp(pattern);
    fs::create_directories(root_ + "/sys/class/hidraw");
    fs::create_directories(root_ + "/dev");
    root_ = fs::canonical(root_).string();
  }
  ~FakeSysfs() { fs::remove_all(root_); }

  std::string sysfs() const { return root_ + "/sys"; }
  std::string dev() const { return root_ + "/dev"; }

  /// Adds USB HID device busId ("0003:ABCD:1234.0007") with node hidrawN on
  /// USB port 1-N; returns the interface path the backend should report.
  std::string add(const std::string& busId, int minor, const std::vector<uint8_t>& descriptor,
                  const std::string& name) {
    const std::string usbDevice = usbDirectory(minor);
    const std::string vid = busId.substr(5, 4), pid = busId.substr(10, 4);
    const std::string serial = busId.substr(15);
    fs::create_directories(usbDevice);
    std::ofstream(usbDevice + "/serial") << serial << "\n";
    return addHidDevice(usbDevice + "/1-" + std::to_string(minor) + ":1.0/" + busId, minor,
                        descriptor,
                        "DRIVER=hid-generic\nHID_ID=0003:0000" + vid + ":0000" + pid +
                            "\nHID_NAME=" + name + "\nHID_PHYS=usb-0000:00:14.0-" +
                            std::to_string(minor) + "/input0\nHID_UNIQ=" + serial +
                            "\nMODALIAS=hid:b0003g0001v0000" + vid + "p0000" + pid + "\n");
  }

  /// Adds a HID device on no USB device (uhid, Bluetooth) with its uevent.
  std::string addVirtual(const std::string& busId, int minor,
                         const std::vector<uint8_t>& descriptor, const std::string& uevent) {
    return addHidDevice(root_ + "/sys/devices/virtual/misc/uhid/" + busId, minor, descriptor,
                        uevent);
  }

  /// Unplugs the USB device with node hidrawN: its directory and its node go.
  void remove(int minor) {
    fs::remove_all(usbDirectory(minor));
    fs::remove(root_ + "/sys/class/hidraw/hidraw" + std::to_string(minor));
    fs::remove(dev() + "/hidraw" + std::to_string(minor));
  }

 private:
  std::string usbDirectory(int minor) const {
    return root_ + "/sys/devices/pci0000:00/usb1/1-" + std::to_string(minor);
  }

  std::string addHidDevice(const std::string& hidDir, int minor,
                           const std::vector<uint8_t>& descriptor, const std::string& uevent) {
    std::string node = "hidraw" + std::to_string(minor);
    std::string path = hidDir + "/hidraw/" + node;
    fs::create_directories(path);
    std::ofstream(hidDir + "/uevent", std::ios::binary) << uevent;
    std::ofstream(hidDir + "/report_descriptor", std::ios::binary)
        .write(reinterpret_cast<const char*>(descriptor.data()),
               static_cast<std::streamsize>(descriptor.size()));
    std::string link = root_ + "/sys/class/hidraw/" + node;
    fs::remove(link);
    fs::create_symlink(path, link);
    std::ofstream(dev() + "/" + node) << "";
    return path;
  }

  std::string root_;
};

TEST(LinuxHidPlatform, EnumeratesAndDescribesFromSysfs) {
  FakeSysfs tree;
  std::string scanner = tree.add("0003:ABCD:1234.0007", 10, kScannerDescriptor, "Acme QS-100");
  std::string mouse = tree.add("0003:046D:C077.0002", 2, kMouseDescriptor, "Logitech Mouse");
  LinuxHidPlatform platform(tree.sysfs(), tree.dev());

  std::vector<std::string> paths;
  ASSERT_TRUE(platform.enumerateInterfaces(&paths));
  EXPECT_EQ(paths, (std::vector<std::string>{mouse, scanner}));  // by node number

  HidInterfaceInfo info;
  ASSERT_TRUE(platform.describe(scanner, &info));
  EXPECT_EQ(info.node, tree.dev() + "/hidraw10");
  EXPECT_EQ(info.product, "Acme QS-100");
  EXPECT_EQ(info.vendorId, 0xABCD);
  EXPECT_EQ(info.productId, 0x1234);
  // The keyboard collection comes first; ours is found anyway.
  EXPECT_EQ(info.usagePage, 0x8C);
  EXPECT_EQ(info.usage, 0x01);
  EXPECT_EQ(info.port, "1-10");
  EXPECT_EQ(info.serial, "0007");
  ASSERT_TRUE(platform.describe(mouse, &info));
  EXPECT_EQ(info.usagePage, 0x01);
  EXPECT_EQ(info.usage, 0x02);

  EXPECT_TRUE(platform.isPresent(scanner));
  EXPECT_FALSE(platform.isPresent(scanner + "x"));
  EXPECT_FALSE(platform.isPresent(""));
  EXPECT_FALSE(platform.describe(scanner + "x", &info));

  HidOpenError error = kHidOpenFailed;
  auto connection = platform.open(scanner, kHidOpenForTransfers, &error, nullptr);
  ASSERT_NE(connection, nullptr);
  EXPECT_EQ(error, kHidOpenOk);
  uint16_t a = 0, b = 0;
  ASSERT_TRUE(connection->readAttributes(&a, &b));
  EXPECT_EQ(a, 0xABCD);
  EXPECT_EQ(b, 0x1234);

  LinuxHidPlatform missing(tree.sysfs() + "/nowhere", tree.dev());
  EXPECT_FALSE(missing.enumerateInterfaces(&paths));
  // The sysfs entry is there but the node is not.
  fs::remove(tree.dev() + "/hidraw2");
  std::string why;
  EXPECT_EQ(platform.open(mouse, kHidOpenToIdentify, &error, &why), nullptr);
  EXPECT_EQ(error, kHidOpenNotFound);
  EXPECT_EQ(why, "No such file or directory");  // the system's words, for the log
}

TEST(LinuxHidPlatform, ReusedMinorIsANewDevice) {
  FakeSysfs tree;
  LinuxHidPlatform platform(tree.sysfs(), tree.dev());
  {
    std::string app = tree.add("0003:ABCD:1234.0007", 2, kScannerDescriptor, "Acme");
    tree.add("0003:046D:C077.0002", 3, kMouseDescriptor, "Mouse");
    CHidManager manager(platform, scannerFilter());
    manager.refreshDevices();
    ASSERT_EQ(manager.deviceCount(), 1u);
    EXPECT_EQ(manager.firstDevice()->path, app);
    EXPECT_EQ(manager.firstDevice()->mode, kModeApplication);

    // The application restarts as the bootloader and gets hidraw2 again.
    tree.remove(2);
    std::string boot = tree.add("0003:ABCD:1000.0008", 2, kScannerDescriptor, "Acme Boot");
    manager.refreshDevices();
    ASSERT_EQ(manager.deviceCount(), 1u);
    ASSERT_NE(manager.lastAddedDevice(), nullptr);
    EXPECT_EQ(manager.lastAddedDevice()->path, boot);
    EXPECT_EQ(manager.lastAddedDevice()->mode, kModeBootloader);
  }
}

// A device names itself, and its name may hold line feeds: lines in it that
// look like the kernel's must not change which device it is, where it is
// plugged in or its serial. Both a first-wins and a last-wins reading of the
// uevent's lines would be fooled by one of these.
TEST(LinuxHidPlatform, DeviceTextCannotForgeIdsPortOrSerial) {
  FakeSysfs tree;
  const std::string forged =
      "Evil\nHID_ID=0003:0000ABCD:00001234\nHID_PHYS=usb-0000:00:14.0-9/input0\n"
      "HID_UNIQ=FORGED\nMODALIAS=hid:b0003g0001v0000ABCDp00001234";
  const std::string usb = tree.add("0003:1111:2222.0009", 5, kScannerDescriptor, forged);
  // Off USB the port and serial are the uevent's own: a Bluetooth device's
  // addresses, written by the kernel after its name.
  const std::string bluetooth = tree.addVirtual(
      "0005:1111:2222.000A", 6, kScannerDescriptor,
      "DRIVER=hid-generic\nHID_ID=0005:00001111:00002222\nHID_NAME=" + forged +
          "\nHID_PHYS=aa:bb:cc:dd:ee:ff\nHID_UNIQ=11:22:33:44:55:66\n"
          "MODALIAS=hid:b0005g0001v00001111p00002222\n");
  LinuxHidPlatform platform(tree.sysfs(), tree.dev());
  HidInterfaceInfo info;
  ASSERT_TRUE(platform.describe(usb, &info));
  EXPECT_EQ(info.vendorId, 0x1111);
  EXPECT_EQ(info.productId, 0x2222);
  EXPECT_EQ(info.port, "1-5");
  EXPECT_EQ(info.serial, "0009");
  EXPECT_EQ(info.product, forged);  // shown escaped, never read for anything
  ASSERT_TRUE(platform.describe(bluetooth, &info));
  EXPECT_EQ(info.vendorId, 0x1111);
  EXPECT_EQ(info.productId, 0x2222);
  EXPECT_EQ(info.port, "aa:bb:cc:dd:ee:ff");
  EXPECT_EQ(info.serial, "11:22:33:44:55:66");
  EXPECT_EQ(info.product, forged);
  // Neither passes for the device whose ids the name wrote.
  CHidManager manager(platform, scannerFilter());
  manager.refreshDevices();
  EXPECT_EQ(manager.deviceCount(), 0u);
  DeviceFilter forgedSerial = scannerFilter();
  forgedSerial.appVid = 0x1111;
  forgedSerial.appPids[0] = 0x2222;
  forgedSerial.selectSerial = "FORGED";
  CHidManager bySerial(platform, forgedSerial);
  bySerial.refreshDevices();
  EXPECT_EQ(bySerial.deviceCount(), 0u);
}

TEST(LinuxHidPlatform, ReadsTheUeventByItsOrder) {
  // The ids from the first HID_ID line, whatever follows.
  HidUevent fields = parseHidUevent(
      "HID_ID=0003:0000ABCD:00001234\nHID_NAME=a\nb\nHID_PHYS=p\nHID_UNIQ=u\nv\n"
      "MODALIAS=hid:b0003g0001v0000ABCDp00001234\nHID_FIRMWARE_VERSION=0x0102\n");
  EXPECT_TRUE(fields.haveId);
  EXPECT_EQ(fields.bus, 0x0003);
  EXPECT_EQ(fields.vendorId, 0xABCD);
  EXPECT_EQ(fields.name, "a\nb");
  EXPECT_EQ(fields.phys, "p");
  EXPECT_EQ(fields.uniq, "u\nv");  // a uhid device's creator writes what it likes
  // Missing lines leave their fields empty; no HID_ID, nothing.
  fields = parseHidUevent("HID_ID=0019:00000001:00000002\nHID_NAME=n\n");
  EXPECT_EQ(fields.name, "n");
  EXPECT_EQ(fields.phys, "");
  EXPECT_FALSE(parseHidUevent("").haveId);
  EXPECT_FALSE(parseHidUevent("XHID_ID=0003:00000001:00000002\n").haveId);

  uint16_t bus = 0, vid = 0, pid = 0;
  EXPECT_TRUE(parseHidDeviceName("0003:ABCD:1234.0007", &bus, &vid, &pid));
  EXPECT_EQ(bus, 0x0003);
  EXPECT_EQ(vid, 0xABCD);
  EXPECT_EQ(pid, 0x1234);
  EXPECT_TRUE(parseHidDeviceName("0005:046D:B01A.1A2B3", &bus, &vid, &pid));  // many plugs later
  for (const char* bad : {"", "0003:ABCD:1234", "0003:ABCD:1234.", "0003:ABCD.0007",
                          "0003:1ABCD:1234.0007", "0003:ABCD:1234.00G7", "hidraw2"})
    EXPECT_FALSE(parseHidDeviceName(bad, &bus, &vid, &pid)) << bad;
}

TEST(LinuxHidPlatform, DeniedNodeIsReported) {
  if (geteuid() == 0) GTEST_SKIP() << "root opens any node";
  FakeSysfs tree;
  std::string path = tree.add("0003:ABCD:1234.0007", 4, kScannerDescriptor, "Acme");
  chmod((tree.dev() + "/hidraw4").c_str(), 0);
  LinuxHidPlatform platform(tree.sysfs(), tree.dev());
  HidOpenError error = kHidOpenOk;
  std::string why;
  EXPECT_EQ(platform.open(path, kHidOpenToIdentify, &error, &why), nullptr);
  EXPECT_EQ(error, kHidOpenDenied);
  EXPECT_EQ(why, "Permission denied");
}

TEST(LinuxHidPlatform, ParsesHidId) {
  uint16_t vid = 0, pid = 0;
  EXPECT_TRUE(parseHidId("0003:0000ABCD:00001234", &vid, &pid));
  EXPECT_EQ(vid, 0xABCD);
  EXPECT_EQ(pid, 0x1234);
  EXPECT_TRUE(parseHidId("0005:0000004c:00000267", &vid, &pid));
  EXPECT_EQ(vid, 0x004C);
  EXPECT_EQ(pid, 0x0267);
  EXPECT_FALSE(parseHidId("0003:0001ABCD:00001234", &vid, &pid));
  EXPECT_FALSE(parseHidId("0003:0000ABCD", &vid, &pid));
  EXPECT_FALSE(parseHidId("0003:0000ABCD:", &vid, &pid));
  EXPECT_FALSE(parseHidId("0003:00G0ABCD:00001234", &vid, &pid));
  EXPECT_FALSE(parseHidId("", &vid, &pid));
}

// A SOCK_SEQPACKET pair keeps report boundaries, like a hidraw node.
class HidrawIoTest : public ::testing::TestWithParam<HidrawWrites> {
 protected:
  HidrawIoTest() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, fds), 0);
    connection_ = std::make_unique<HidrawConnection>(fds[0], HidInterfaceInfo{}, GetParam());
    peer_ = fds[1];
  }
  ~HidrawIoTest() override {
    if (peer_ >= 0) close(peer_);
  }
  void deviceSends(std::vector<uint8_t> report) {
    ASSERT_EQ(send(peer_, report.data(), report.size(), 0), static_cast<ssize_t>(report.size()));
  }
  std::unique_ptr<HidrawConnection> connection_;
  int peer_ = -1;
};

TEST_P(HidrawIoTest, WritesOneReportAndSkipsForeignInput) {
  uint8_t request[kReportSize] = {0xB2, 0xAA, 0x55, 0x03, 0xFC, 0x01, 0x60, 0x60};
  ASSERT_EQ(connection_->writeReport(request, 100), kHidWaitDone);
  uint8_t received[64];
  ASSERT_EQ(recv(peer_, received, sizeof received, 0), static_cast<ssize_t>(kReportSize));
  EXPECT_EQ(std::memcmp(received, request, kReportSize), 0);

  // A keyboard report from the same node comes first; it is passed over.
  deviceSends({0x01, 0x00, 0x00, 0x1E});
  std::vector<uint8_t> answer(kReportSize, 0);
  answer[0] = 0xB1;
  answer[6] = 0xA3;
  deviceSends(answer);
  uint8_t response[kReportSize] = {0xB1};
  uint32_t immediate = 99;
  ASSERT_EQ(connection_->readReport(response, 100, &immediate), kHidWaitDone);
  EXPECT_EQ(response[6], 0xA3);
  EXPECT_EQ(immediate, 0u);

  // A short report is padded; one waiting already counts as immediate.
  deviceSends({0xB1, 0x01, 0x02});
  std::memset(response, 0xEE, sizeof response);
  response[0] = 0xB1;
  ASSERT_EQ(connection_->readReport(response, 100, &immediate), kHidWaitDone);
  EXPECT_EQ(immediate, 3u);
  EXPECT_EQ(response[2], 0x02);
  EXPECT_EQ(response[3], 0x00);
  EXPECT_EQ(response[32], 0x00);
}

TEST_P(HidrawIoTest, FlushTimeoutAndDisappearance) {
  deviceSends({0xB1, 0x11});
  deviceSends({0xB1, 0x22});
  connection_->flushInput();
  uint8_t response[kReportSize] = {0xB1};
  uint32_t immediate = 0;
  EXPECT_EQ(connection_->readReport(response, 20, &immediate), kHidWaitTimeout);
  EXPECT_EQ(response[1], 0x00);

  // Only foreign reports within the wait: still a time-out.
  deviceSends({0x01, 0x05});
  EXPECT_EQ(connection_->readReport(response, 20, &immediate), kHidWaitTimeout);

  close(peer_);
  peer_ = -1;
  EXPECT_EQ(connection_->readReport(response, 1000, &immediate), kHidWaitFailed);
}

// Why a transfer failed, in the system's words, for --verbose and the log.
TEST_P(HidrawIoTest, AFailedTransferKeepsTheSystemsWords) {
  // A node that cannot be written (opened for reading only).
  HidrawConnection readOnly(::open("/dev/null", O_RDONLY | O_CLOEXEC), HidInterfaceInfo{},
                            GetParam());
  const uint8_t request[kReportSize] = {0xB2};
  EXPECT_EQ(readOnly.writeReport(request, 1000), kHidWaitFailed);
  EXPECT_EQ(readOnly.lastError(), "Bad file descriptor");

  uint8_t response[kReportSize] = {0xB1};
  uint32_t immediate = 0;
  ASSERT_EQ(connection_->writeReport(request, 100), kHidWaitDone);
  EXPECT_EQ(connection_->lastError(), "");
  uint8_t taken[64];
  ASSERT_EQ(recv(peer_, taken, sizeof taken, 0), static_cast<ssize_t>(kReportSize));
  // A time-out has no reason of the system's.
  EXPECT_EQ(connection_->readReport(response, 10, &immediate), kHidWaitTimeout);
  EXPECT_EQ(connection_->lastError(), "");
  close(peer_);
  peer_ = -1;
  EXPECT_EQ(connection_->readReport(response, 1000, &immediate), kHidWaitFailed);
  EXPECT_EQ(connection_->lastError(), "end of file");
}

TEST_P(HidrawIoTest, ExchangesAReportForItsAnswer) {
  const uint8_t request[kReportSize] = {0xB2, 0xAA, 0x55, 0x03, 0xFC, 0x01, 0x60, 0x60};
  std::thread device([this] {
    pollfd p{peer_, POLLIN, 0};
    uint8_t taken[64];
    if (poll(&p, 1, 2000) != 1 || recv(peer_, taken, sizeof taken, 0) != kReportSize) return;
    deviceSends({0x01, 0x00, 0x00, 0x1E});  // another collection's report first
    std::vector<uint8_t> answer(kReportSize, 0);
    answer[0] = 0xB1;
    answer[6] = 0xA3;
    answer[8] = taken[6];
    deviceSends(answer);
  });
  uint8_t response[kReportSize] = {0xB1};
  uint32_t immediate = 99;
  bool written = false;
  EXPECT_EQ(connection_->exchangeReports(request, response, 2000, &immediate, &written),
            kHidWaitDone);
  device.join();
  EXPECT_TRUE(written);
  EXPECT_EQ(response[6], 0xA3);
  EXPECT_EQ(response[8], 0x60);
  EXPECT_EQ(immediate, 0u);

  // Taken but not answered: the wait ends, the write done.
  EXPECT_EQ(connection_->exchangeReports(request, response, 30, &immediate, &written),
            kHidWaitTimeout);
  EXPECT_TRUE(written);
  uint8_t taken[64];
  EXPECT_EQ(recv(peer_, taken, sizeof taken, 0), static_cast<ssize_t>(kReportSize));

  // An answer, then the other side gone: the answer counts.
  std::thread leaving([this] {
    pollfd p{peer_, POLLIN, 0};
    uint8_t request[64];
    if (poll(&p, 1, 2000) != 1 || recv(peer_, request, sizeof request, 0) != kReportSize) return;
    std::vector<uint8_t> answer(kReportSize, 0);
    answer[0] = 0xB1;
    answer[6] = 0xA4;
    deviceSends(answer);
    close(peer_);
    peer_ = -1;
  });
  EXPECT_EQ(connection_->exchangeReports(request, response, 2000, &immediate, &written),
            kHidWaitDone);
  leaving.join();
  EXPECT_EQ(response[6], 0xA4);

  // The other side gone: the exchange fails at once, whichever end sees it.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(connection_->exchangeReports(request, response, 5000, &immediate, &written),
            kHidWaitFailed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  EXPECT_FALSE(connection_->lastError().empty());
}

INSTANTIATE_TEST_SUITE_P(BothWaysOfWriting, HidrawIoTest,
                         ::testing::Values(HidrawWrites::kInline, HidrawWrites::kByWriter));

// A blocking socket whose peer has stopped taking reports: a write to it
// stays in the kernel, as usbhid's write does while the device refuses the
// transfer (it ignores O_NONBLOCK and waits up to five seconds).
class HidrawHeldWriteTest : public ::testing::Test {
 protected:
  HidrawHeldWriteTest() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
    const uint8_t filler[kReportSize] = {0x01};
    while (send(fds[0], filler, sizeof filler, MSG_DONTWAIT) == static_cast<ssize_t>(kReportSize))
      ++fillers_;
    // Reads must not block, as on a node opened with O_NONBLOCK (which
    // usbhid's writes ignore): an empty socket ends a read within 1 ms.
    const timeval readWait{0, 1000};
    EXPECT_EQ(setsockopt(fds[0], SOL_SOCKET, SO_RCVTIMEO, &readWait, sizeof readWait), 0);
    connection_ =
        std::make_unique<HidrawConnection>(fds[0], HidInterfaceInfo{}, HidrawWrites::kByWriter);
    peerOfConnection_ = fds[0];
    peer_ = fds[1];
  }
  ~HidrawHeldWriteTest() override { close(peer_); }

  // The next report the device takes (its first two bytes), or -1 at the
  // end of the stream.
  int deviceTakes() {
    pollfd p{peer_, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return -2;
    uint8_t buffer[64];
    const ssize_t n = recv(peer_, buffer, sizeof buffer, 0);
    if (n == 0) return -1;
    return n == static_cast<ssize_t>(kReportSize) ? buffer[0] << 8 | buffer[1] : -3;
  }
  void deviceTakesTheFillers() {
    for (int i = 0; i < fillers_; ++i) ASSERT_EQ(deviceTakes(), 0x0100);
  }

  std::unique_ptr<HidrawConnection> connection_;
  int peerOfConnection_ = -1;  ///< the connection's own end
  int peer_ = -1;
  int fillers_ = 0;
};

TEST_F(HidrawHeldWriteTest, TheWaitEndsAndReportsKeepTheirOrder) {
  ASSERT_GT(fillers_, 0);
  const uint8_t first[kReportSize] = {0xB2, 0x01};
  const uint8_t second[kReportSize] = {0xB2, 0x02};
  const uint8_t third[kReportSize] = {0xB2, 0x03};
  EXPECT_EQ(connection_->writeReport(first, 50), kHidWaitTimeout);
  uint8_t held[kReportSize] = {};
  EXPECT_EQ(connection_->heldWrite(20, held), kHidWriteHeld);
  EXPECT_EQ(held[1], 0x01);
  // The next exchange while the first write is still held: it times out too,
  // and its report is not sent behind the held one.
  EXPECT_EQ(connection_->writeReport(second, 50), kHidWaitTimeout);
  // The device takes reports again: the held one arrives whole, then the
  // next one written.
  deviceTakesTheFillers();
  EXPECT_EQ(deviceTakes(), 0xB201);
  EXPECT_EQ(connection_->heldWrite(5000, held), kHidHeldWriteTaken);
  // Told once.
  EXPECT_EQ(connection_->heldWrite(0, held), kHidNoHeldWrite);
  EXPECT_EQ(connection_->writeReport(third, 5000), kHidWaitDone);
  EXPECT_EQ(deviceTakes(), 0xB203);
}

// The update's resend of a chunk whose write the kernel still held: the
// device takes the held write during the resend, and the resend reads its
// answer instead of writing the chunk a second time.
TEST_F(HidrawHeldWriteTest, AResendCountsTheHeldWriteTheDeviceTookAndReadsItsAnswer) {
  HidDevice device;
  device.handle = std::move(connection_);
  TransactionLink link;
  const uint8_t chunk[17] = {0x64, 0xC0, 0xFF, 0xEE};
  uint8_t response[kFrameBufferSize] = {};
  EXPECT_EQ(sendTransaction(link, &device, chunk, sizeof chunk, 1, response, nullptr),
            kTransactionTimeout);
  int chunksTaken = 0;
  std::thread deviceSide([&] {
    // Takes reports again 300 ms into the resend and answers each chunk;
    // done once nothing more comes for 800 ms.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    uint8_t filler[kReportSize];
    for (int i = 0; i < fillers_; ++i) recv(peer_, filler, sizeof filler, 0);
    for (;;) {
      pollfd p{peer_, POLLIN, 0};
      if (poll(&p, 1, 800) != 1) break;
      uint8_t request[64];
      if (recv(peer_, request, sizeof request, 0) != static_cast<ssize_t>(kReportSize)) break;
      if (request[0] != 0xB2 || request[kOffsetPayload] != 0x64) continue;
      ++chunksTaken;
      uint8_t answer[kReportSize] = {0xB1, 0xAA, 0x55, 0x06, 0xF9, request[kOffsetSequence],
                                     0xA3, 0x00, 0x64, 0x00};
      send(peer_, answer, sizeof answer, 0);
    }
  });
  uint8_t second[kFrameBufferSize] = {};
  EXPECT_EQ(sendTransaction(link, &device, chunk, sizeof chunk, 1, second, nullptr),
            kTransactionOk);
  deviceSide.join();
  EXPECT_EQ(second[kOffsetEcho], 0x64);
  EXPECT_EQ(chunksTaken, 1);
}

// A write the kernel gave up on (usbhid's own time-out; here the socket's)
// is not written again: the further sends of it end unanswered at once.
TEST_F(HidrawHeldWriteTest, ARequestTheKernelGaveUpOnIsNotWrittenAgain) {
  HidDevice device;
  device.handle = std::move(connection_);
  const timeval giveUp{1, 500000};
  ASSERT_EQ(setsockopt(peerOfConnection_, SOL_SOCKET, SO_SNDTIMEO, &giveUp, sizeof giveUp), 0);
  TransactionLink link;
  const uint8_t chunk[17] = {0x64, 0x01};
  uint8_t response[kFrameBufferSize] = {};
  for (int send = 1; send <= 4; ++send)
    EXPECT_EQ(sendTransaction(link, &device, chunk, sizeof chunk, 1, response, nullptr),
              kTransactionTimeout);
  uint8_t held[kReportSize] = {};
  EXPECT_EQ(device.handle->heldWrite(0, held), kHidHeldWriteRefused);
  device.close();
  deviceTakesTheFillers();
  EXPECT_EQ(deviceTakes(), -1);  // no chunk, and the node closed
}

TEST_F(HidrawHeldWriteTest, ClosingLeavesTheHeldWriteToFinishAndCloseTheNode) {
  const uint8_t first[kReportSize] = {0xB2, 0x01};
  EXPECT_EQ(connection_->writeReport(first, 20), kHidWaitTimeout);
  connection_.reset();  // does not wait for the write
  deviceTakesTheFillers();
  EXPECT_EQ(deviceTakes(), 0xB201);
  // The node is closed once the write is through.
  EXPECT_EQ(deviceTakes(), -1);
}

}  // namespace
