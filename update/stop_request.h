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

 private:
  static_assert(std::atomic<int>::is_always_lock_free, "a signal handler sets it");
  std::atomic<int> reason_{0};
};
