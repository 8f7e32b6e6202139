#include "tools/sim/uhid_driver.h"

#include <gtest/gtest.h>
#include <linux/uhid.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace {

// Plays the kernel's side of one uhid node over a socket pair.
class FakeUhidNode {
 public:
  FakeUhidNode() {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, pair) == 0) {
      kernel_ = pair[0];
      driverEnd_ = pair[1];
    }
  }
  ~FakeUhidNode() {
    if (kernel_ >= 0) ::close(kernel_);
    if (driverEnd_ >= 0) ::close(driverEnd_);
  }
  // The opener hands the driver its end once.
  int open(std::string& error) {
    if (driverEnd_ < 0) error = "no node left";
    const int fd = driverEnd_;
    driverEnd_ = -1;
    return fd;
  }
  void sendOutput(const Report& report) {
    uhid_event event{};
    event.type = UHID_OUTPUT;
    std::memcpy(event.u.output.data, report.data(), report.size());
    event.u.output.size = report.size();
    event.u.output.rtype = UHID_OUTPUT_REPORT;
    ASSERT_EQ(::write(kernel_, &event, sizeof event), static_cast<ssize_t>(sizeof event));
  }
  // The type of every event waiting, and the sequence byte of each input report.
  void drain(std::vector<uint32_t>* types, std::vector<uint8_t>* inputSequences) {
    uhid_event event{};
    while (::read(kernel_, &event, sizeof event) > 0) {
      types->push_back(event.type);
      if (event.type == UHID_INPUT2) inputSequences->push_back(event.u.input2.data[5]);
    }
  }

 private:
  int kernel_ = -1;
  int driverEnd_ = -1;
};

Report request(uint8_t sequence, uint8_t command) {
  Report frame{0xB2, 0xAA, 0x55, 0x03, 0xFC, sequence, command, command};
  return frame;
}

TEST(UhidDriver, AnswersLeaveInTheOrderTheRequestsCame) {
  SimOptions options;
  options.devices.push_back(defaultSimDevice());
  // The first version request is answered 100 ms late; the information
  // request right behind it must not overtake it.
  options.devices[0].model.faults.push_back({FaultKind::kLateAnswer, 0x60, 1, 1, 100});
  FakeUhidNode node;
  UhidDriver driver(options, [&node](std::string& error) { return node.open(error); });
  ASSERT_TRUE(driver.start());
  node.sendOutput(request(1, 0x60));
  node.sendOutput(request(2, 0x61));

  std::vector<uint32_t> types;
  std::vector<uint8_t> sequences;
  const int64_t giveUp = steadyMicroseconds() + 5000000;
  while (sequences.size() < 2 && steadyMicroseconds() < giveUp) {
    ASSERT_TRUE(driver.pump(20));
    node.drain(&types, &sequences);
  }
  ASSERT_FALSE(types.empty());
  EXPECT_EQ(types.front(), static_cast<uint32_t>(UHID_CREATE2));
  EXPECT_EQ(sequences, (std::vector<uint8_t>{1, 2}));
}

}  // namespace
