#include "tervik/config/policy.h"

#include <gtest/gtest.h>

#include "tervik/config/tree_config.h"
#include "tervik/core/testing/panic_capture.h"

namespace tervik {
namespace {

TEST(LevelPolicyTest, LevelUsesEntryAtMinOfLevelAndLast) {
  const auto config = TreeConfig::defaults();
  const auto none = CompressionType::kNone, lz4 = CompressionType::kLz4;
  const CompressionType want_compression[] = {none, none, lz4, lz4, lz4, lz4, lz4};
  const bool want_index_pinned[] = {true, true, false, false, false, false, false};
  const bool want_filter_pinned[] = {true, false, false, false, false, false, false};
  const bool want_partitioned[] = {false, false, true, true, true, true, true};
  for (size_t level = 0; level < 7; ++level) {
    EXPECT_EQ(config.data_block_compression_policy.get(level), want_compression[level]) << level;
    EXPECT_EQ(config.index_block_compression_policy.get(level), none) << level;
    EXPECT_EQ(config.index_block_pinning_policy.get(level), want_index_pinned[level]) << level;
    EXPECT_EQ(config.filter_block_pinning_policy.get(level), want_filter_pinned[level]) << level;
    EXPECT_EQ(config.index_block_partitioning_policy.get(level), want_partitioned[level]) << level;
    EXPECT_EQ(config.filter_block_partitioning_policy.get(level), want_partitioned[level]) << level;
    EXPECT_EQ(config.data_block_size_policy.get(level), 4096u) << level;
  }
  // Deeper than any entry: the last one.
  EXPECT_EQ(config.data_block_compression_policy.get(1000), lz4);
  EXPECT_EQ(BlockSizePolicy::all(777).get(5), 777u);
  EXPECT_EQ(RestartIntervalPolicy::all(3).get(0), 3);
  EXPECT_EQ(HashRatioPolicy::all(0.75f).get(9), 0.75f);
  EXPECT_EQ(CompressionPolicy::disabled().entries(), std::vector<CompressionType>{none});
}

TEST(LevelPolicyTest, EmptyPolicyPanicsAtFirstLookup) {
  // Setting it is fine; only a lookup stops.
  auto config = TreeConfig::defaults().with_data_block_size_policy(BlockSizePolicy{});
  EXPECT_EQ(testing::panic_message([&] { (void)config.data_block_size_policy.get(0); }),
            kFatalEmptyPolicy);
  EXPECT_EQ(testing::panic_message([] { (void)PinningPolicy{}.get(3); }), kFatalEmptyPolicy);
}

}  // namespace
}  // namespace tervik
