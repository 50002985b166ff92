#include "src/text/text_stats.h"

#include <gtest/gtest.h>

#include <limits>

namespace zv::text {
namespace {

TEST(CheckedStatAdd, RangeChecks) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  constexpr int64_t kMin64 = std::numeric_limits<int64_t>::min();
  auto neg = checked_stat_add(0, -1, "df");
  ASSERT_FALSE(neg.ok());
  EXPECT_EQ(neg.error().message(), "Validation error on stats: text index df would go negative");
  auto over = checked_stat_add(kMax, 1, "doc_count");
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error().message(),
            "Validation error on stats: text index doc_count exceeds supported range");
  EXPECT_EQ(*checked_stat_add(5, -5, "df"), 0u);
  EXPECT_EQ(*checked_stat_add(kMax, 0, "df"), kMax);
  EXPECT_EQ(*checked_stat_add(kMax, kMin64, "df"), kMax - (uint64_t{1} << 63));
  EXPECT_FALSE(checked_stat_add(1, kMin64, "total_doc_len").ok());
  EXPECT_EQ(saturating_stat_add(1, kMin64), 0u);
  EXPECT_EQ(saturating_stat_add(kMax - 1, 5), kMax);
}

}  // namespace
}  // namespace zv::text
