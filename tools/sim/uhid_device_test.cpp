#include "tools/sim/uhid_device.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

TEST(UhidDevice, DescriptorIsTheBootloaderCollection) {
  std::vector<uint8_t> d = bootloaderReportDescriptor();
  // Usage page 0x8C, usage 1, application collection first: the tool matches
  // on exactly these.
  ASSERT_GE(d.size(), 7u);
  EXPECT_EQ(d[0], 0x06);
  EXPECT_EQ(d[1], 0x8C);
  EXPECT_EQ(d[2], 0x00);
  EXPECT_EQ(d[3], 0x09);
  EXPECT_EQ(d[4], 0x01);
  EXPECT_EQ(d[5], 0xA1);
  EXPECT_EQ(d[6], 0x01);
  EXPECT_EQ(d.back(), 0xC0);
  // Walk the short items: report ids B1 (input) and B2 (output), 32 bytes of
  // 8 bits each.
  int reportId = -1, count = 0, size = 0;
  bool sawInput = false, sawOutput = false;
  for (size_t i = 0; i < d.size();) {
    uint8_t prefix = d[i];
    size_t n = prefix & 3;
    if (n == 3) n = 4;
    ASSERT_LE(i + 1 + n, d.size());
    uint32_t value = 0;
    for (size_t k = 0; k < n; ++k) value |= uint32_t{d[i + 1 + k]} << (8 * k);
    switch (prefix & 0xFC) {
      case 0x84:
        reportId = static_cast<int>(value);
        break;
      case 0x94:
        count = static_cast<int>(value);
        break;
      case 0x74:
        size = static_cast<int>(value);
        break;
      case 0x80:
        EXPECT_EQ(reportId, 0xB1);
        EXPECT_EQ(count * size, 256);
        sawInput = true;
        break;
      case 0x90:
        EXPECT_EQ(reportId, 0xB2);
        EXPECT_EQ(count * size, 256);
        sawOutput = true;
        break;
      default:
        break;
    }
    i += 1 + n;
  }
  EXPECT_TRUE(sawInput);
  EXPECT_TRUE(sawOutput);
}

TEST(UhidDevice, FindsItsHidrawNodeBySerialAndPort) {
  namespace fs = std::filesystem;
  fs::path root = fs::path(::testing::TempDir()) / "uhid_device_test_sysfs";
  fs::remove_all(root);
  auto node = [&](const char* name, const char* uevent) {
    fs::path dir = root / "class" / "hidraw" / name / "device";
    fs::create_directories(dir);
    std::ofstream(dir / "uevent") << uevent;
  };
  EXPECT_EQ(findHidrawNode("SIM0001", "sim-0/input0", root.string()), "");
  node("hidraw0", "HID_ID=0003:0000ABCD:00001234\nHID_PHYS=sim-0/input0\nHID_UNIQ=SIM0001\n");
  node("hidraw1", "HID_PHYS=sim-1/input0\nHID_UNIQ=SIM0001\nMODALIAS=hid:x\n");
  // A prefix of another device's serial is not a match.
  node("hidraw2", "HID_PHYS=sim-2/input0\nHID_UNIQ=SIM00010\n");
  EXPECT_EQ(findHidrawNode("SIM0001", "sim-0/input0", root.string()), "hidraw0");
  EXPECT_EQ(findHidrawNode("SIM0001", "sim-1/input0", root.string()), "hidraw1");
  EXPECT_EQ(findHidrawNode("SIM00010", "sim-2/input0", root.string()), "hidraw2");
  EXPECT_EQ(findHidrawNode("SIM0001", "sim-2/input0", root.string()), "");
  EXPECT_EQ(findHidrawNode("SIM0001", "sim-0/input0", (root / "missing").string()), "");
  fs::remove_all(root);
}

TEST(UhidDevice, FailsCleanlyOnANodeThatRefusesTheDevice) {
  UhidDevice dev;
  UhidIdentity id;
  id.descriptor = bootloaderReportDescriptor();
  std::string error;
  EXPECT_FALSE(dev.createOn(-1, id, error));
  EXPECT_EQ(error, "no uhid node");
  // A node that cannot be written: the descriptor is closed again.
  EXPECT_FALSE(dev.createOn(::open("/dev/null", O_RDONLY | O_CLOEXEC), id, error));
  EXPECT_EQ(error, "UHID_CREATE2 failed: Bad file descriptor");
  EXPECT_FALSE(dev.created());
  EXPECT_FALSE(dev.sendInput(id.descriptor.data(), 4));
  EXPECT_EQ(dev.readEvent().kind, UhidEventKind::kFailed);
  dev.destroy();
  dev.destroy();
}

}  // namespace
