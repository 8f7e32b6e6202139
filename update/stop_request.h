// A request to stop an update at its next safe point, from another thread or
// from a signal handler.
#pragma once

#include <atomic>

class StopRequest {
 public:
  /// Asks to stop; reason is what asked (a signal number, or any non-zero
  /// code). The first request is the one kept. Safe in a signal handler.
  void request(int reason) noexcept {
    int none = 0;
    reason_.compare_exchange_strong(none, reason, std::memory_order_relaxed);
  }
  /// The reason of the request, 0 while none was made.
  int reason() const noexcept { return reason_.load(std::memory_order_relaxed); }
  bool requested() const noexcept { return reason() != 0; }

  /// Sessions tell it when their device starts waiting in its bootloader
  /// (true) and when it runs its new firmware (false), so that whoever ends
  /// the process without waiting for them can say what it leaves behind.
  void deviceInBootloader(bool waiting) noexcept {
    waiting_.fetch_add(waiting ? 1 : -1, std::memory_order_relaxed);
  }
  /// True while a device waits in its bootloader. Safe in a signal handler.
  bool devicesWaitInBootloader() const noexcept {
    return waiting_.load(std::memory_order_relaxed) > 0;
  }

 private:
  static_assert(std::atomic<int>::is_always_lock_free, "a signal handler sets it");
  std::atomic<int> reason_{0};
  std::atomic<int> waiting_{0};
};
