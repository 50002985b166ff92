// A four-byte reader-writer lock for the per-node records and lists of the
// graph, where a std::shared_mutex per node would cost more memory than the
// node. Readers are preferred: a reader waits only for an active writer, so
// searches that hold several read locks at once cannot deadlock behind a
// waiting writer; writers hold one lock at a time and never wait holding one.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace zv {

class RwSpinLock {
 public:
  void lock_shared() {
    for (int spins = 0;; ++spins) {
      uint32_t s = state_.load(std::memory_order_relaxed);
      if (!(s & kWriter) &&
          state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                       std::memory_order_relaxed))
        return;
      backoff(spins);
    }
  }
  void unlock_shared() { state_.fetch_sub(1, std::memory_order_release); }

  void lock() {
    for (int spins = 0;; ++spins) {
      uint32_t expected = 0;
      if (state_.compare_exchange_weak(expected, kWriter, std::memory_order_acquire,
                                       std::memory_order_relaxed))
        return;
      backoff(spins);
    }
  }
  void unlock() { state_.store(0, std::memory_order_release); }

 private:
  static constexpr uint32_t kWriter = 1u << 31;
  static void backoff(int spins) {
    if (spins > 64) std::this_thread::yield();
  }
  std::atomic<uint32_t> state_{0};
};

// Scoped read and write holds of a RwSpinLock.
class SharedSpinGuard {
 public:
  explicit SharedSpinGuard(RwSpinLock& l) : l_(l) { l_.lock_shared(); }
  ~SharedSpinGuard() { l_.unlock_shared(); }
  SharedSpinGuard(const SharedSpinGuard&) = delete;
  SharedSpinGuard& operator=(const SharedSpinGuard&) = delete;

 private:
  RwSpinLock& l_;
};

class ExclusiveSpinGuard {
 public:
  explicit ExclusiveSpinGuard(RwSpinLock& l) : l_(l) { l_.lock(); }
  ~ExclusiveSpinGuard() { l_.unlock(); }
  ExclusiveSpinGuard(const ExclusiveSpinGuard&) = delete;
  ExclusiveSpinGuard& operator=(const ExclusiveSpinGuard&) = delete;

 private:
  RwSpinLock& l_;
};

}  // namespace zv
