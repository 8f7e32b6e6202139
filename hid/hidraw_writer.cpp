#include "hid/hidraw_writer.h"

#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

namespace {

// The stop request travels in the top bit of the hand-off word, so that the
// writer waits on one word only.
constexpr uint32_t kStopBit = 0x80000000u;
constexpr uint32_t kCountMask = ~kStopBit;

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
                  std::atomic<uint32_t>::is_always_lock_free,
              "a futex word must be a plain 32-bit integer");

// Futex calls on a page two processes share (so not the private kind).
// futexWait sleeps while word holds expected, until deadline (null: no
// limit); it may return early, and the caller looks again.
void futexWait(const std::atomic<uint32_t>& word, uint32_t expected, const timespec* deadline) {
  syscall(SYS_futex, &word, FUTEX_WAIT_BITSET, expected, deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
}

// The same, for at most the relative time `span`; true when that ran out.
bool futexWaitFor(const std::atomic<uint32_t>& word, uint32_t expected, const timespec& span) {
  return syscall(SYS_futex, &word, FUTEX_WAIT, expected, &span, nullptr, 0) != 0 &&
         errno == ETIMEDOUT;
}

void futexWake(std::atomic<uint32_t>& word) {
  syscall(SYS_futex, &word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

bool passed(const timespec& deadline) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return notBefore(now, deadline);
}

// Closes the descriptors first..last (as far as there are any).
void closeRange(unsigned int first, unsigned int last) {
  if (first > last) return;
#ifdef SYS_close_range
  if (syscall(SYS_close_range, first, last, 0) == 0) return;
#endif
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == 0) return;
  const rlim_t top = limit.rlim_cur - 1 < last ? limit.rlim_cur - 1 : last;
  for (rlim_t fd = first; fd <= top; ++fd) ::close(static_cast<int>(fd));
}

// Closes every descriptor but keep1 and keep2 (keep1 < keep2).
void closeAllBut(unsigned int keep1, unsigned int keep2) {
  if (keep1 > 0) closeRange(0, keep1 - 1);
  closeRange(keep1 + 1, keep2 - 1);
  if (keep2 < ~0u) closeRange(keep2 + 1, ~0u);
}

}  // namespace

timespec addMilliseconds(timespec t, uint32_t ms) {
  t.tv_sec += static_cast<time_t>(ms / 1000);
  t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

timespec monotonicDeadline(uint32_t ms) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return addMilliseconds(now, ms);
}

bool notBefore(const timespec& a, const timespec& b) {
  return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec >= b.tv_nsec);
}

// The page the connection and its writer share. The connection writes the
// report and the hand-off word, the writer the result and the finish word;
// each reads the other's only after the word that publishes it.
struct HidrawWriter::Shared {
  std::atomic<uint32_t> handed{0};    // reports handed over, and kStopBit
  std::atomic<uint32_t> finished{0};  // writes that have returned
  std::atomic<uint32_t> waiting{0};   // the connection sleeps on finished
  std::atomic<uint32_t> closed{0};    // the writer has closed its node
  uint8_t report[64] = {};
  size_t size = 0;
  HidrawWriteEnd end;

  // The writer's life, in the forked process. The process it was forked
  // from has other threads: only async-signal-safe calls from here on.
  // Every signal is blocked in it from the start: the handlers it inherits
  // are tavrin's, not its own.
  [[noreturn]] void run(int fd, int failureFd, pid_t parent) {
    // Only the node and the eventfd: a pipe or a log tavrin had open must
    // close when tavrin ends, not when a held write does.
    const auto a = static_cast<unsigned int>(fd);
    const auto b = static_cast<unsigned int>(failureFd);
    closeAllBut(a < b ? a : b, a < b ? b : a);
    uint32_t done = 0;
    const timespec idleWait{1, 0};
    for (;;) {
      const uint32_t value = handed.load(std::memory_order_acquire);
      if ((value & kCountMask) == done) {
        if ((value & kStopBit) != 0) break;
        // The process that made it may be gone without saying so (killed):
        // an idle writer looks every second. (Not its parent: init is.)
        if (futexWaitFor(handed, value, idleWait) && kill(parent, 0) != 0) break;
        continue;
      }
      HidrawWriteEnd result;
      do {
        result.written = ::write(fd, report, size);
      } while (result.written < 0 && errno == EINTR);
      result.error = result.written < 0 ? errno : 0;
      clock_gettime(CLOCK_MONOTONIC, &result.at);
      end = result;
      done = (done + 1) & kCountMask;
      // Woken only when the connection sleeps on it: usually it waits for
      // the answer instead. (Both sides store, then load the other's word.)
      finished.store(done, std::memory_order_seq_cst);
      if (waiting.load(std::memory_order_seq_cst) != 0) futexWake(finished);
      if (result.written != static_cast<ssize_t>(size)) {
        const uint64_t one = 1;
        if (::write(failureFd, &one, sizeof one) < 0) {
          // A full counter is readable anyway.
        }
      }
    }
    ::close(fd);
    closed.store(1, std::memory_order_release);
    futexWake(closed);
    _exit(0);
  }
};

HidrawWriter::HidrawWriter(int fd) : fd_(fd) {}

HidrawWriter::~HidrawWriter() {
  close();
}

bool HidrawWriter::start() {
  void* page = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                    -1, 0);
  if (page == MAP_FAILED) return false;
  shared_ = new (page) Shared;
  failureFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  const pid_t parent = getpid();
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  // Forked twice: the writer's parent ends at once, so that init reaps the
  // writer whenever it ends (a write the kernel holds outlives close()), and
  // no zombie is left to a station or a library's host that runs for days.
  // _Fork, not fork: the children only make system calls, and the handlers
  // a host process registered for fork() (a library's, Python's) are not
  // theirs to run.
  pid_t between = failureFd_ < 0 ? -1 : _Fork();
  if (between == 0) {
    const pid_t writer = _Fork();
    if (writer == 0) shared_->run(fd_, failureFd_, parent);
    _exit(writer < 0 ? 1 : 0);
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  int status = 0;
  if (between > 0) {
    while (waitpid(between, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (between < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    if (failureFd_ >= 0) ::close(failureFd_);
    failureFd_ = -1;
    munmap(shared_, sizeof(Shared));
    shared_ = nullptr;
    return false;
  }
  return true;
}

bool HidrawWriter::busy() const {
  return shared_ != nullptr && (shared_->handed.load(std::memory_order_relaxed) & kCountMask) !=
                                   shared_->finished.load(std::memory_order_acquire);
}

void HidrawWriter::handOver(const uint8_t* report, size_t size) {
  Shared& s = *shared_;
  s.size = size < sizeof s.report ? size : sizeof s.report;
  std::memcpy(s.report, report, s.size);
  const uint32_t ticket =
      ((s.handed.load(std::memory_order_relaxed) & kCountMask) + 1) & kCountMask;
  s.handed.store(ticket, std::memory_order_release);
  futexWake(s.handed);
}

bool HidrawWriter::ended(HidrawWriteEnd* end) const {
  const Shared& s = *shared_;
  if ((s.handed.load(std::memory_order_relaxed) & kCountMask) !=
      s.finished.load(std::memory_order_acquire))
    return false;
  *end = s.end;
  if (end->written != static_cast<ssize_t>(s.size)) clearFailure();
  return true;
}

void HidrawWriter::clearFailure() const {
  uint64_t count = 0;
  while (::read(failureFd_, &count, sizeof count) < 0 && errno == EINTR) {
  }
}

bool HidrawWriter::waitUntil(const timespec& deadline, HidrawWriteEnd* end) const {
  Shared& s = *shared_;
  const uint32_t ticket = s.handed.load(std::memory_order_relaxed) & kCountMask;
  bool ended = false;
  for (;;) {
    const uint32_t finished = s.finished.load(std::memory_order_seq_cst);
    if (finished == ticket) {
      ended = true;
      break;
    }
    // The clock is read only when the write has not returned yet.
    if (passed(deadline)) break;
    s.waiting.store(1, std::memory_order_seq_cst);
    if (s.finished.load(std::memory_order_seq_cst) == finished)
      futexWait(s.finished, finished, &deadline);
  }
  s.waiting.store(0, std::memory_order_relaxed);
  if (!ended) return false;
  *end = s.end;
  if (end->written != static_cast<ssize_t>(s.size)) clearFailure();
  return true;
}

bool HidrawWriter::write(const uint8_t* report, size_t size, const timespec& deadline,
                         HidrawWriteEnd* end) {
  handOver(report, size);
  return waitUntil(deadline, end);
}

void HidrawWriter::close() {
  if (shared_ == nullptr) return;
  Shared& s = *shared_;
  const bool writing = busy();
  s.handed.store(s.handed.load(std::memory_order_relaxed) | kStopBit, std::memory_order_release);
  futexWake(s.handed);
  // An idle writer closes its node at once (waited for, a second at most);
  // one whose write the kernel still holds ends when the write returns, and
  // is not waited for.
  if (!writing) {
    const timespec deadline = monotonicDeadline(1000);
    while (s.closed.load(std::memory_order_acquire) == 0 && !passed(deadline))
      futexWait(s.closed, 0, &deadline);
  }
  munmap(shared_, sizeof(Shared));
  shared_ = nullptr;
  ::close(failureFd_);
  failureFd_ = -1;
}
