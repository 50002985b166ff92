#include "src/index/adaptive_ef.h"

#include <algorithm>
#include <atomic>
#include <mutex>

namespace zv {
namespace {

struct AdaptiveState {
  std::mutex mu;  // guards count and the read-modify-write of width
  uint64_t count = 0;
  std::atomic<uint64_t> width{kAdaptiveEfStart};
};

AdaptiveState& state() {
  static AdaptiveState s;
  return s;
}

}  // namespace

uint64_t adaptive_ef() { return state().width.load(std::memory_order_relaxed); }

void record_adaptive_search(bool found_results) {
  AdaptiveState& s = state();
  std::scoped_lock lock(s.mu);
  const uint64_t w = s.width.load(std::memory_order_relaxed);
  if (found_results) {
    const uint64_t before = s.count++;
    if (before != 0 && before % 10 == 0)
      s.width.store(std::max(w / 2, kAdaptiveEfMin), std::memory_order_relaxed);
  } else {
    s.width.store(std::min(w + w / 2, kAdaptiveEfMax), std::memory_order_relaxed);
    s.count = 0;
  }
}

void reset_adaptive_ef() {
  AdaptiveState& s = state();
  std::scoped_lock lock(s.mu);
  s.count = 0;
  s.width.store(kAdaptiveEfStart, std::memory_order_relaxed);
}

}  // namespace zv
