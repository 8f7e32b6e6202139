#include "tools/sim/gadget_driver.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/sim/uhid_device.h"

namespace fs = std::filesystem;

namespace {

// configfs, sysfs and /dev in a temporary folder, with two dummy_hcd
// controllers on buses 1 and 2. Attribute files are plain files here.
class FakeKernel {
 public:
  FakeKernel() {
    char pattern[] = "/tmp/tavrin-gadget-XXXXXX";
    root_ = mkdtemp(pattern);
    fs::create_directories(root_ + "/config/usb_gadget");
    for (int i = 0; i < 2; ++i) {
      fs::create_directories(root_ + "/sys/class/udc/dummy_udc." + std::to_string(i));
      fs::create_directories(root_ + "/sys/devices/platform/dummy_hcd." + std::to_string(i) +
                             "/usb" + std::to_string(i + 1));
    }
    // A gadget controller of another kind is no dummy_hcd.
    fs::create_directories(root_ + "/sys/class/udc/musb-hdrc.0");
  }
  ~FakeKernel() { fs::remove_all(root_); }

  GadgetSystem system() const {
    GadgetSystem system;
    system.configfs = root_ + "/config";
    system.sysfs = root_ + "/sys";
    system.dev = root_ + "/dev";
    system.enumerationUs = 0;  // no host side here to wait for
    system.disconnectUs = 0;
    return system;
  }
  std::string gadget(const std::string& udc) const {
    return root_ + "/config/usb_gadget/tavrin-" + udc;
  }

 private:
  std::string root_;
};

std::string attribute(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The nodes the driver opens, one per binding: it gets one end of a socket
// pair, the test keeps the other as the host's side of the cable.
class FakeNodes {
 public:
  ~FakeNodes() {
    for (int fd : hostEnds) ::close(fd);
  }
  GadgetNodeOpener opener() {
    return [this](const std::string& functionDir, std::string&) {
      int pair[2];
      if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, pair) != 0) return -1;
      functionDirs.push_back(functionDir);
      hostEnds.push_back(pair[1]);
      return pair[0];
    };
  }
  std::vector<std::string> functionDirs;
  std::vector<int> hostEnds;
};

TEST(GadgetDriver, FindsTheDummyControllersAndTheirPorts) {
  FakeKernel kernel;
  const std::vector<DummyController> found = findDummyControllers(kernel.system().sysfs);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].udc, "dummy_udc.0");
  EXPECT_EQ(found[0].hcd, "dummy_hcd.0");
  EXPECT_EQ(found[0].port, "1-1");
  EXPECT_EQ(found[1].port, "2-1");

  // Three devices do not fit on two controllers.
  SimOptions options;
  options.devices.assign(3, defaultSimDevice());
  FakeNodes nodes;
  GadgetDriver driver(options, kernel.system(), nodes.opener());
  EXPECT_FALSE(driver.start());
  EXPECT_TRUE(nodes.functionDirs.empty());
}

TEST(GadgetDriver, UsbIdentityAndTheSwitchAsAReconnect) {
  FakeKernel kernel;
  SimOptions options;
  options.devices.push_back(defaultSimDevice());
  options.devices[0].port = "2-1";
  options.devices[0].noOutEndpoint = true;
  options.devices[0].model.reenumerateDelayMs = 0;
  FakeNodes nodes;
  const std::string g = kernel.gadget("dummy_udc.1");
  {
    GadgetDriver driver(options, kernel.system(), nodes.opener());
    ASSERT_TRUE(driver.start());
    EXPECT_EQ(driver.host().port(0), "2-1");
    EXPECT_EQ(attribute(g + "/idVendor"), "0xabcd\n");
    EXPECT_EQ(attribute(g + "/idProduct"), "0x1234\n");
    EXPECT_EQ(attribute(g + "/strings/0x409/serialnumber"), "SIM0001\n");
    EXPECT_EQ(attribute(g + "/strings/0x409/product"), "tavrin simulated device\n");
    EXPECT_EQ(attribute(g + "/functions/hid.0/report_length"), "33\n");
    const std::vector<uint8_t> descriptor = bootloaderReportDescriptor();
    EXPECT_EQ(attribute(g + "/functions/hid.0/report_desc"),
              std::string(descriptor.begin(), descriptor.end()));
    EXPECT_EQ(attribute(g + "/functions/hid.0/no_out_endpoint"), "1\n");
    EXPECT_EQ(fs::read_symlink(g + "/configs/c.1/hid.0"), g + "/functions/hid.0");
    EXPECT_EQ(attribute(g + "/UDC"), "dummy_udc.1\n");
    ASSERT_EQ(nodes.functionDirs, std::vector<std::string>{g + "/functions/hid.0"});

    // The host asks the device to switch: the answer goes out on the IN
    // endpoint before the gadget is unbound.
    const Report enter{0xB2, 0xAA, 0x55, 0x03, 0xFC, 0x07, 0x67, 0x67};
    ASSERT_EQ(::send(nodes.hostEnds[0], enter.data(), enter.size(), 0),
              static_cast<ssize_t>(enter.size()));
    ASSERT_TRUE(driver.pump(100));
    uint8_t answer[64] = {};
    ASSERT_EQ(::recv(nodes.hostEnds[0], answer, sizeof answer, 0),
              static_cast<ssize_t>(kReportSize));
    EXPECT_EQ(answer[0], 0xB1);
    EXPECT_EQ(answer[5], 0x07);
    EXPECT_EQ(answer[8], 0x67);
    // Bound again at once (no restart delay here), under the bootloader ids,
    // on a node of its own.
    for (int i = 0; i < 10 && nodes.functionDirs.size() < 2; ++i) ASSERT_TRUE(driver.pump(10));
    EXPECT_EQ(nodes.functionDirs.size(), 2u);
    EXPECT_EQ(attribute(g + "/idProduct"), "0x1000\n");
    EXPECT_EQ(attribute(g + "/strings/0x409/serialnumber"), "SIM0001\n");
    EXPECT_EQ(attribute(g + "/UDC"), "dummy_udc.1\n");
    // The old node was closed at the unbind.
    pollfd p{nodes.hostEnds[0], POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 0), 1);
    EXPECT_EQ(::recv(nodes.hostEnds[0], answer, sizeof answer, 0), 0);
  }
  // Unbound when the driver goes.
  EXPECT_EQ(attribute(g + "/UDC"), "\n");
  EXPECT_FALSE(fs::exists(kernel.gadget("dummy_udc.0")));
}

}  // namespace
