#include "src/text/text_stats.h"

#include <limits>
#include <string>

namespace zv::text {

namespace {
constexpr __int128 kU64Max = std::numeric_limits<uint64_t>::max();
}  // namespace

ZolvaResult<uint64_t> checked_stat_add(uint64_t current, int64_t delta, std::string_view label) {
  const __int128 sum = static_cast<__int128>(current) + delta;
  if (sum < 0) {
    return make_unexpected(ZolvaError::validation(
        "stats", "text index " + std::string(label) + " would go negative"));
  }
  if (sum > kU64Max) {
    return make_unexpected(ZolvaError::validation(
        "stats", "text index " + std::string(label) + " exceeds supported range"));
  }
  return static_cast<uint64_t>(sum);
}

uint64_t saturating_stat_add(uint64_t current, int64_t delta) {
  const __int128 sum = static_cast<__int128>(current) + delta;
  if (sum < 0) return 0;
  if (sum > kU64Max) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(sum);
}

}  // namespace zv::text
