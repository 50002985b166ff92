#include "src/text/index_locks.h"

namespace zv::text {

void IndexGate::lock() {
  std::unique_lock l(mu_);
  ++exclusive_waiting_;
  cv_.wait(l, [&] { return !exclusive_ && shared_ == 0; });
  --exclusive_waiting_;
  exclusive_ = true;
}

void IndexGate::unlock() {
  {
    std::lock_guard l(mu_);
    exclusive_ = false;
  }
  cv_.notify_all();
}

void IndexGate::lock_shared() {
  std::unique_lock l(mu_);
  cv_.wait(l, [&] { return !exclusive_ && exclusive_waiting_ == 0; });
  ++shared_;
}

void IndexGate::unlock_shared() {
  bool last = false;
  {
    std::lock_guard l(mu_);
    last = --shared_ == 0;
  }
  if (last) cv_.notify_all();
}

bool IndexGate::try_lock() {
  std::lock_guard l(mu_);
  if (exclusive_ || shared_ != 0) return false;
  exclusive_ = true;
  return true;
}

bool IndexGate::try_lock_shared() {
  std::lock_guard l(mu_);
  if (exclusive_ || exclusive_waiting_ != 0) return false;
  ++shared_;
  return true;
}

bool IndexGate::exclusive_waiting() const {
  std::lock_guard l(mu_);
  return exclusive_waiting_ != 0;
}

}  // namespace zv::text
