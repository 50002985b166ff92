// A shared pointer that many readers load while a writer replaces it.
#pragma once

#include <memory>
#include <mutex>
#include <utility>

namespace zv {

// Readers get their own reference and keep the object they loaded alive
// across a replacement. A short mutex guards the pointer rather than the
// library's atomic shared_ptr, which takes a lock of its own anyway and whose
// internal lock bit the thread sanitizer cannot follow. The replaced object
// is released outside the lock.
template <class T>
class SharedSlot {
 public:
  SharedSlot() = default;
  explicit SharedSlot(std::shared_ptr<T> value) : value_(std::move(value)) {}
  SharedSlot(const SharedSlot&) = delete;
  SharedSlot& operator=(const SharedSlot&) = delete;

  std::shared_ptr<T> load() const {
    std::lock_guard lock(mu_);
    return value_;
  }

  void store(std::shared_ptr<T> value) {
    {
      std::lock_guard lock(mu_);
      value_.swap(value);
    }
    // `value` now holds the old object; it is released here, unlocked.
  }

 private:
  mutable std::mutex mu_;
  std::shared_ptr<T> value_;
};

}  // namespace zv
