// The writer of a hidraw connection where the kernel may hold a write (USB),
// and the hand-off of one report at a time to it.
//
// usbhid's write returns only once the device has taken the report (or after
// its own five seconds), whatever O_NONBLOCK says, and no signal ends that
// wait, not even SIGKILL: a thread stuck there keeps its whole process from
// ending. So the writes happen in a small process of the connection's own,
// forked once, which shares one page with it: the caller's wait is bounded,
// and tavrin itself can end while the kernel still holds a write (the writer
// ends when the write does). Handing a report over is a store and one futex
// wake; the writer tells the end of a write by a store (and a wake for a
// caller waiting on it), and a failure also through an eventfd, so that a
// caller waiting for the answer in poll() needs no wake-up when all goes well.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

/// How a write the writer did returned.
struct HidrawWriteEnd {
  ssize_t written = 0;  ///< write()'s result
  int error = 0;        ///< its errno when it failed
  timespec at{};        ///< CLOCK_MONOTONIC when it returned
};

class HidrawWriter {
 public:
  /// Writes to fd, which stays the caller's (the writer has a copy).
  explicit HidrawWriter(int fd);
  /// close(), unless it was called already.
  ~HidrawWriter();
  HidrawWriter(const HidrawWriter&) = delete;
  HidrawWriter& operator=(const HidrawWriter&) = delete;

  /// Starts the writer; false when it cannot be started.
  bool start();
  /// True while a report handed over has not been written yet.
  bool busy() const;
  /// Hands report (size bytes, at most 64) over; the writer must not be
  /// busy. Returns at once.
  void handOver(const uint8_t* report, size_t size);
  /// True once the last report handed over has been written (*end: how).
  bool ended(HidrawWriteEnd* end) const;
  /// Waits until deadline (CLOCK_MONOTONIC) for the last write to return;
  /// false when it has not.
  bool waitUntil(const timespec& deadline, HidrawWriteEnd* end) const;
  /// handOver and waitUntil.
  bool write(const uint8_t* report, size_t size, const timespec& deadline, HidrawWriteEnd* end);
  /// Readable (POLLIN) after a write that failed; read() it empty.
  int failureFd() const { return failureFd_; }
  /// Stops the writer: at once when it is idle, else once its write returns.
  /// Does not wait for that write.
  void close();

 private:
  struct Shared;
  /// Empties failureFd once a failed write has been seen.
  void clearFailure() const;

  Shared* shared_ = nullptr;  ///< the page both see
  int fd_;
  int failureFd_ = -1;
};

/// t plus ms.
timespec addMilliseconds(timespec t, uint32_t ms);
/// CLOCK_MONOTONIC now plus ms.
timespec monotonicDeadline(uint32_t ms);
/// The later of two CLOCK_MONOTONIC times is a.
bool notBefore(const timespec& a, const timespec& b);
