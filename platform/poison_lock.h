// Locks that remember a panic: a guard released while an exception unwinds
// through it poisons its lock, and every later acquisition panics with
// kLockPoisonedMessage instead of handing out state the panicking holder may
// have left half-changed. Both locks are thread-safe; guards are move-only and
// belong to the thread that took them.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "platform/panic.h"

namespace zv {

inline constexpr const char* kLockPoisonedMessage = "lock is poisoned";

namespace poison_detail {

// Flags a lock once a guard sees its holder leave by an exception.
class PoisonFlag {
 public:
  bool is_poisoned() const { return poisoned_.load(std::memory_order_acquire); }
  void set() { poisoned_.store(true, std::memory_order_release); }
  void check() const {
    if (is_poisoned()) panic(kLockPoisonedMessage);
  }

 private:
  std::atomic<bool> poisoned_{false};
};

// Releases a lock of type Lock through Unlock; poisons the flag if the guard
// dies during an unwind that began after the lock was taken.
template <class Lock, void (Lock::*Unlock)(), bool kPoisons>
class Guard {
 public:
  Guard() = default;
  Guard(Lock* lock, PoisonFlag* flag)
      : lock_(lock), flag_(flag), unwinding_at_lock_(std::uncaught_exceptions()) {}
  Guard(Guard&& other) noexcept
      : lock_(std::exchange(other.lock_, nullptr)),
        flag_(other.flag_),
        unwinding_at_lock_(other.unwinding_at_lock_) {}
  Guard& operator=(Guard&& other) noexcept {
    if (this != &other) {
      release();
      lock_ = std::exchange(other.lock_, nullptr);
      flag_ = other.flag_;
      unwinding_at_lock_ = other.unwinding_at_lock_;
    }
    return *this;
  }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
  ~Guard() { release(); }

  bool owns_lock() const { return lock_ != nullptr; }

  // Releases early; a released guard does nothing more.
  void unlock() { release(); }

 private:
  void release() {
    if (lock_ == nullptr) return;
    if (kPoisons && std::uncaught_exceptions() > unwinding_at_lock_) flag_->set();
    (lock_->*Unlock)();
    lock_ = nullptr;
  }

  Lock* lock_ = nullptr;
  PoisonFlag* flag_ = nullptr;
  int unwinding_at_lock_ = 0;
};

}  // namespace poison_detail

// A mutual-exclusion lock that poisons when a holder panics.
class PoisonMutex {
 public:
  using Guard = poison_detail::Guard<std::mutex, &std::mutex::unlock, true>;

  PoisonMutex() = default;
  PoisonMutex(const PoisonMutex&) = delete;
  PoisonMutex& operator=(const PoisonMutex&) = delete;

  // Waits for the lock; panics if a former holder panicked.
  [[nodiscard]] Guard lock() {
    mutex_.lock();
    if (flag_.is_poisoned()) {
      mutex_.unlock();
      flag_.check();
    }
    return Guard(&mutex_, &flag_);
  }

  bool is_poisoned() const { return flag_.is_poisoned(); }

 private:
  std::mutex mutex_;
  poison_detail::PoisonFlag flag_;
};

// A reader-writer lock that poisons when a writer panics. A reader cannot
// leave the state half-changed, so a panic under a read guard poisons nothing.
class PoisonRwLock {
 public:
  using ReadGuard = poison_detail::Guard<std::shared_mutex, &std::shared_mutex::unlock_shared, false>;
  using WriteGuard = poison_detail::Guard<std::shared_mutex, &std::shared_mutex::unlock, true>;

  PoisonRwLock() = default;
  PoisonRwLock(const PoisonRwLock&) = delete;
  PoisonRwLock& operator=(const PoisonRwLock&) = delete;

  // Shared access; panics if a former writer panicked.
  [[nodiscard]] ReadGuard read() {
    mutex_.lock_shared();
    if (flag_.is_poisoned()) {
      mutex_.unlock_shared();
      flag_.check();
    }
    return ReadGuard(&mutex_, &flag_);
  }

  // Exclusive access; panics if a former writer panicked.
  [[nodiscard]] WriteGuard write() {
    mutex_.lock();
    if (flag_.is_poisoned()) {
      mutex_.unlock();
      flag_.check();
    }
    return WriteGuard(&mutex_, &flag_);
  }

  bool is_poisoned() const { return flag_.is_poisoned(); }

 private:
  std::shared_mutex mutex_;
  poison_detail::PoisonFlag flag_;
};

}  // namespace zv
