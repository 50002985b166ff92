// MemoryBudget: the memory limit of an engine with its soft and hard limits
// and the memory governor's state (usage, last eviction, eviction flag).
// The limits are fixed at construction; the rest are atomics, so the budget
// is shared by reference between threads without a lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "src/runtime/config.h"

namespace zv {

class MemoryBudget {
 public:
  static constexpr double kFraction = 0.75;
  static constexpr double kSoftFactor = 0.9;

  // Limits from a byte limit; 0 means no limit (both limits the u64 maximum).
  explicit MemoryBudget(uint64_t limit_bytes);
  // The configured limit, else the machine's total physical memory.
  static uint64_t limit_for(const Config& config);

  uint64_t limit_bytes() const { return limit_bytes_; }
  double fraction() const { return kFraction; }
  uint64_t soft_limit() const { return soft_limit_; }
  uint64_t hard_limit() const { return hard_limit_; }

  std::atomic<uint64_t> usage_bytes{0};
  std::atomic<uint64_t> last_eviction_ms{0};
  std::atomic<uint64_t> over_limit_evictions{0};
  std::atomic<bool> evicting{false};

 private:
  uint64_t limit_bytes_;
  uint64_t soft_limit_;
  uint64_t hard_limit_;
};

// A non-negative double converted to u64, saturating at both ends.
uint64_t saturating_u64(double v);

}  // namespace zv
