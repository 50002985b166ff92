#include "src/wal/append_gate.h"

namespace zv::wal {

void AppendGate::enter() {
  uint64_t s = state_.load(std::memory_order_relaxed);
  for (;;) {
    if (s & kClosing) {
      std::unique_lock lock(mu_);
      cv_.wait(lock, [&] { return (state_.load() & kClosing) == 0; });
      s = state_.load(std::memory_order_relaxed);
      continue;
    }
    if (state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                     std::memory_order_relaxed))
      return;
  }
}

void AppendGate::leave() {
  const uint64_t s = state_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (s == kClosing) {
    // The last one out of a closing gate wakes the closer; taking the mutex
    // orders the wake-up after the closer's check.
    { std::lock_guard lock(mu_); }
    cv_.notify_all();
  }
}

bool AppendGate::close(std::chrono::milliseconds bound) {
  state_.fetch_or(kClosing, std::memory_order_acq_rel);
  std::unique_lock lock(mu_);
  if (cv_.wait_for(lock, bound, [&] { return state_.load() == kClosing; })) return true;
  lock.unlock();
  open();
  return false;
}

void AppendGate::open() {
  state_.fetch_and(~kClosing, std::memory_order_acq_rel);
  { std::lock_guard lock(mu_); }
  cv_.notify_all();
}

}  // namespace zv::wal
