// The thread that does a hidraw connection's writes where the kernel may hold
// them (USB), and the hand-off of one report at a time to it.
//
// usbhid's write returns only once the device has taken the report (or after
// its own five seconds), whatever O_NONBLOCK says, and no signal ends that
// wait: a thread of its own lets the caller wait for it no longer than it
// chooses. The thread is started once and then waits for reports; handing one
// over costs a store and a futex wake, and its end a store and a futex wake
// back, without a lock or an allocation.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <memory>

/// How a write the thread did returned.
struct HidrawWriteEnd {
  ssize_t written = 0;  ///< write()'s result
  int error = 0;        ///< its errno when it failed
};

class HidrawWriter {
 public:
  /// Writes to fd (not owned until close()).
  explicit HidrawWriter(int fd);
  /// close(), unless it was called already.
  ~HidrawWriter();
  HidrawWriter(const HidrawWriter&) = delete;
  HidrawWriter& operator=(const HidrawWriter&) = delete;

  /// Starts the thread; false when none could be started.
  bool start();
  /// True while a report handed over has not been written yet.
  bool busy() const;
  /// Hands report (size bytes, at most 64) to the thread, which must not be
  /// busy, and waits for the write to return until deadline (CLOCK_MONOTONIC).
  /// False when it has not returned by then: it stays busy.
  bool write(const uint8_t* report, size_t size, const timespec& deadline, HidrawWriteEnd* end);
  /// Waits until deadline for the write in progress to return; false when it
  /// has not. True at once when the thread is not busy (*end then tells the
  /// last write).
  bool waitUntil(const timespec& deadline, HidrawWriteEnd* end) const;
  /// Ends the thread and takes fd: it is closed once no write is in progress,
  /// by the thread when one still is. Does not wait for that write.
  void close();

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
  bool started_ = false;
  bool closed_ = false;
};

/// CLOCK_MONOTONIC now plus ms.
timespec monotonicDeadline(uint32_t ms);
