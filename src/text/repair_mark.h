// The repair mark of an engine: set by a record writer that stored or
// deleted a node and then failed to update the derived, text or sparse
// indexes for it, so those indexes may no longer match the records. Only
// code that has just rebuilt all three indexes clears it, and only when no
// writer set it again after that code took its snapshot before the first
// rebuild (the mark counts its settings, and the clear is a
// compare-and-exchange against the snapshot). In memory only: a freshly
// opened engine starts clear, and the open's index check covers what a
// crash left behind. Thread-safe, lock-free.
#pragma once

#include <atomic>
#include <cstdint>

namespace zv::text {

class RepairMark {
 public:
  // A value to hand back to clear_if_unchanged after the rebuilds.
  using Snapshot = uint64_t;

  void set() {
    uint64_t w = word_.load(std::memory_order_relaxed);
    // Bit 0 is the mark; the bits above count the settings.
    while (!word_.compare_exchange_weak(w, (w + 2) | 1, std::memory_order_acq_rel,
                                        std::memory_order_relaxed)) {
    }
  }
  bool is_set() const { return (word_.load(std::memory_order_acquire) & 1) != 0; }
  Snapshot snapshot() const { return word_.load(std::memory_order_acquire); }

  // Clears the mark when nothing set it since `before` was taken; true when
  // the mark is clear afterwards.
  bool clear_if_unchanged(Snapshot before) {
    uint64_t expected = before;
    if (word_.compare_exchange_strong(expected, before & ~uint64_t{1},
                                      std::memory_order_acq_rel)) {
      return true;
    }
    return (expected & 1) == 0;
  }

 private:
  std::atomic<uint64_t> word_{0};
};

}  // namespace zv::text
