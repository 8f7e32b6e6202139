#include "hid/hidraw_writer.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <thread>

namespace {

// The stop request travels in the top bit of the hand-off word, so that the
// thread waits on one word only.
constexpr uint32_t kStopBit = 0x80000000u;
constexpr uint32_t kCountMask = ~kStopBit;

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
                  std::atomic<uint32_t>::is_always_lock_free,
              "a futex word must be a plain 32-bit integer");

// Sleeps while word holds expected, until deadline (null: no limit). It may
// return early; the caller looks again.
void futexWait(const std::atomic<uint32_t>& word, uint32_t expected, const timespec* deadline) {
  syscall(SYS_futex, &word, FUTEX_WAIT_BITSET_PRIVATE, expected, deadline, nullptr,
          FUTEX_BITSET_MATCH_ANY);
}

void futexWake(std::atomic<uint32_t>& word) {
  syscall(SYS_futex, &word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

bool passed(const timespec& deadline) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec > deadline.tv_sec ||
         (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

}  // namespace

timespec monotonicDeadline(uint32_t ms) {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  t.tv_sec += static_cast<time_t>(ms / 1000);
  t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

// What the caller and the thread share. The caller writes the report and the
// hand-off word, the thread the result and the finish word; each reads the
// other's only after the word that publishes it. It outlives the writer when
// the thread is left a write the kernel still holds.
struct HidrawWriter::Shared {
  std::atomic<uint32_t> handed{0};    // reports handed over, and kStopBit
  std::atomic<uint32_t> finished{0};  // writes that have returned
  uint8_t report[64] = {};
  size_t size = 0;
  HidrawWriteEnd end;
  int fd = -1;
  std::thread thread;

  static void run(const std::shared_ptr<Shared>& shared) {
    Shared& s = *shared;
    uint32_t done = 0;
    for (;;) {
      const uint32_t handed = s.handed.load(std::memory_order_acquire);
      if ((handed & kCountMask) == done) {
        if ((handed & kStopBit) != 0) break;
        futexWait(s.handed, handed, nullptr);
        continue;
      }
      HidrawWriteEnd end;
      do {
        end.written = ::write(s.fd, s.report, s.size);
      } while (end.written < 0 && errno == EINTR);
      end.error = end.written < 0 ? errno : 0;
      s.end = end;
      done = (done + 1) & kCountMask;
      s.finished.store(done, std::memory_order_release);
      futexWake(s.finished);
    }
    ::close(s.fd);
  }
};

HidrawWriter::HidrawWriter(int fd) : shared_(std::make_shared<Shared>()) {
  shared_->fd = fd;
}

HidrawWriter::~HidrawWriter() {
  if (!closed_) close();
}

bool HidrawWriter::start() {
  try {
    shared_->thread = std::thread(Shared::run, shared_);
  } catch (const std::exception&) {
    return false;
  }
  started_ = true;
  return true;
}

bool HidrawWriter::busy() const {
  return (shared_->handed.load(std::memory_order_relaxed) & kCountMask) !=
         shared_->finished.load(std::memory_order_acquire);
}

bool HidrawWriter::write(const uint8_t* report, size_t size, const timespec& deadline,
                         HidrawWriteEnd* end) {
  Shared& s = *shared_;
  s.size = size < sizeof s.report ? size : sizeof s.report;
  std::memcpy(s.report, report, s.size);
  const uint32_t ticket =
      ((s.handed.load(std::memory_order_relaxed) & kCountMask) + 1) & kCountMask;
  s.handed.store(ticket, std::memory_order_release);
  futexWake(s.handed);
  return waitUntil(deadline, end);
}

bool HidrawWriter::waitUntil(const timespec& deadline, HidrawWriteEnd* end) const {
  const Shared& s = *shared_;
  const uint32_t ticket = s.handed.load(std::memory_order_relaxed) & kCountMask;
  for (;;) {
    const uint32_t finished = s.finished.load(std::memory_order_acquire);
    if (finished == ticket) {
      *end = s.end;
      return true;
    }
    // The clock is read only when the write has not returned yet.
    if (passed(deadline)) return false;
    futexWait(s.finished, finished, &deadline);
  }
}

void HidrawWriter::close() {
  closed_ = true;
  Shared& s = *shared_;
  if (!started_) {
    ::close(s.fd);
    return;
  }
  const bool writing = busy();
  s.handed.store(s.handed.load(std::memory_order_relaxed) | kStopBit, std::memory_order_release);
  futexWake(s.handed);
  // A write the kernel still holds ends within the kernel's own time-out (at
  // once when the device goes); the thread closes the node then. Closing it
  // here could let the next open reuse its number before the thread has even
  // reached write(), and the report would go there.
  if (writing)
    s.thread.detach();
  else
    s.thread.join();
}
