#include "src/storage/memory_budget.h"

#include <cmath>
#include <limits>

#include "src/runtime/hardware.h"

namespace zv {

uint64_t saturating_u64(double v) {
  if (!(v > 0.0)) return 0;
  if (v >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(v);
}

MemoryBudget::MemoryBudget(uint64_t limit_bytes) : limit_bytes_(limit_bytes) {
  if (limit_bytes == 0) {
    soft_limit_ = hard_limit_ = std::numeric_limits<uint64_t>::max();
    return;
  }
  const double hard = static_cast<double>(limit_bytes) * kFraction;
  hard_limit_ = saturating_u64(hard);
  soft_limit_ = saturating_u64(hard * kSoftFactor);
}

uint64_t MemoryBudget::limit_for(const Config& config) {
  if (config.memory_limit) return *config.memory_limit;
  return HardwareCapabilities::init_global().total_memory_bytes;
}

}  // namespace zv
