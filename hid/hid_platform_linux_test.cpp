#include "hid/hid_platform_linux.h"

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

  /// Adds HID device busId ("0003:ABCD:1234.0007") with node hidrawN; returns
  /// the interface path the backend should report.
  std::string add(const std::string& busId, int minor, const std::vector<uint8_t>& descriptor,
                  const std::string& name) {
    std::string hidDir = root_ + "/sys/devices/pci0000:00/usb1/1-1/1-1:1.0/" + busId;
    std::string node = "hidraw" + std::to_string(minor);
    std::string path = hidDir + "/hidraw/" + node;
    fs::create_directories(path);
    std::string vid = busId.substr(5, 4), pid = busId.substr(10, 4);
    std::ofstream(hidDir + "/uevent")
        << "DRIVER=hid-generic\nHID_ID=0003:0000" << vid << ":0000" << pid << "\nHID_NAME=" << name
        << "\nHID_PHYS=usb-0000:00:14.0-1/input0\nHID_UNIQ=" << busId.substr(15) << "\n";
    std::ofstream(hidDir + "/report_descriptor", std::ios::binary)
        .write(reinterpret_cast<const char*>(descriptor.data()),
               static_cast<std::streamsize>(descriptor.size()));
    std::string link = root_ + "/sys/class/hidraw/" + node;
    fs::remove(link);
    fs::create_symlink(path, link);
    std::ofstream(dev() + "/" + node) << "";
    return path;
  }

  /// Unplugs busId's device: its directory and its node go.
  void remove(const std::string& busId, int minor) {
    fs::remove_all(root_ + "/sys/devices/pci0000:00/usb1/1-1/1-1:1.0/" + busId);
    fs::remove(root_ + "/sys/class/hidraw/hidraw" + std::to_string(minor));
    fs::remove(dev() + "/hidraw" + std::to_string(minor));
  }

 private:
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
  EXPECT_EQ(info.port, "1-1");
  EXPECT_EQ(info.serial, "0007");
  ASSERT_TRUE(platform.describe(mouse, &info));
  EXPECT_EQ(info.usagePage, 0x01);
  EXPECT_EQ(info.usage, 0x02);

  EXPECT_TRUE(platform.isPresent(scanner));
  EXPECT_FALSE(platform.isPresent(scanner + "x"));
  EXPECT_FALSE(platform.isPresent(""));
  EXPECT_FALSE(platform.describe(scanner + "x", &info));

  HidOpenError error = kHidOpenFailed;
  auto connection = platform.open(scanner, kHidOpenForTransfers, &error);
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
  EXPECT_EQ(platform.open(mouse, kHidOpenToIdentify, &error), nullptr);
  EXPECT_EQ(error, kHidOpenNotFound);
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
    tree.remove("0003:ABCD:1234.0007", 2);
    std::string boot = tree.add("0003:ABCD:1000.0008", 2, kScannerDescriptor, "Acme Boot");
    manager.refreshDevices();
    ASSERT_EQ(manager.deviceCount(), 1u);
    ASSERT_NE(manager.lastAddedDevice(), nullptr);
    EXPECT_EQ(manager.lastAddedDevice()->path, boot);
    EXPECT_EQ(manager.lastAddedDevice()->mode, kModeBootloader);
  }
}

TEST(LinuxHidPlatform, DeniedNodeIsReported) {
  if (geteuid() == 0) GTEST_SKIP() << "root opens any node";
  FakeSysfs tree;
  std::string path = tree.add("0003:ABCD:1234.0007", 4, kScannerDescriptor, "Acme");
  chmod((tree.dev() + "/hidraw4").c_str(), 0);
  LinuxHidPlatform platform(tree.sysfs(), tree.dev());
  HidOpenError error = kHidOpenOk;
  EXPECT_EQ(platform.open(path, kHidOpenToIdentify, &error), nullptr);
  EXPECT_EQ(error, kHidOpenDenied);
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

  // The other side gone: the exchange fails at once, whichever end sees it.
  close(peer_);
  peer_ = -1;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(connection_->exchangeReports(request, response, 5000, &immediate, &written),
            kHidWaitFailed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
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
