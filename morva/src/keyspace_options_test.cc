#include "morva/src/keyspace_options.h"

#include <gtest/gtest.h>

#include "tervik/compaction/leveled.h"

namespace morva {
namespace {

using tervik::CompressionType;
using tervik::FilterPolicyEntry;

TEST(KeyspaceCreateOptions, DefaultsUseAFreshLeveledStrategy) {
  KeyspaceCreateOptions a, b;
  ASSERT_NE(a.compaction_strategy, nullptr);
  EXPECT_NE(a.compaction_strategy, b.compaction_strategy);
  auto* leveled = dynamic_cast<const tervik::compaction::Leveled*>(a.compaction_strategy.get());
  ASSERT_NE(leveled, nullptr);
  EXPECT_EQ(leveled->options(), tervik::LeveledOptions());
  EXPECT_EQ(a.level_count, tervik::TreeConfig::defaults().level_count);
  EXPECT_EQ(a.max_memtable_size, 64ull << 20);
}

TEST(KeyspaceCreateOptions, ApplyToTreeConfigSetsExactlyTheTreeSettings) {
  KeyspaceCreateOptions o;
  o.data_block_hash_ratio_policy = tervik::HashRatioPolicy{0.75f, 0.5f};
  o.data_block_size_policy = tervik::BlockSizePolicy{1024, 8192};
  o.data_block_restart_interval_policy = tervik::RestartIntervalPolicy{3, 5, 7};
  o.index_block_restart_interval_policy = tervik::RestartIntervalPolicy{9};
  o.index_block_pinning_policy = tervik::PinningPolicy{false};
  o.filter_block_pinning_policy = tervik::PinningPolicy{false, true, true};
  o.filter_block_partitioning_policy = tervik::PinningPolicy{true};
  o.index_block_partitioning_policy = tervik::PinningPolicy{true, false};
  o.filter_policy = tervik::FilterPolicy{FilterPolicyEntry::none(), FilterPolicyEntry::bits_per_key(3.0f)};
  o.data_block_compression_policy = tervik::CompressionPolicy{CompressionType::kLz4};
  o.index_block_compression_policy = tervik::CompressionPolicy{CompressionType::kLz4, CompressionType::kNone};
  o.kv_separation = tervik::KvSeparationOptions{.file_target_size = 5, .separation_threshold = 6};
  o.expect_point_read_hits = true;
  o.level_count = 3;
  o.max_memtable_size = 1;
  o.manual_journal_persist = true;

  const tervik::TreeConfig before = tervik::TreeConfig::defaults();
  const tervik::TreeConfig c = o.apply_to_tree_config(tervik::TreeConfig::defaults());
  EXPECT_EQ(c.data_block_hash_ratio_policy, o.data_block_hash_ratio_policy);
  EXPECT_EQ(c.data_block_size_policy, o.data_block_size_policy);
  EXPECT_EQ(c.data_block_restart_interval_policy, o.data_block_restart_interval_policy);
  EXPECT_EQ(c.index_block_pinning_policy, o.index_block_pinning_policy);
  EXPECT_EQ(c.filter_block_pinning_policy, o.filter_block_pinning_policy);
  EXPECT_EQ(c.filter_block_partitioning_policy, o.filter_block_partitioning_policy);
  EXPECT_EQ(c.index_block_partitioning_policy, o.index_block_partitioning_policy);
  EXPECT_EQ(c.filter_policy, o.filter_policy);
  EXPECT_EQ(c.data_block_compression_policy, o.data_block_compression_policy);
  EXPECT_EQ(c.index_block_compression_policy, o.index_block_compression_policy);
  EXPECT_EQ(c.kv_separation_opts, o.kv_separation);
  EXPECT_TRUE(c.expect_point_read_hits);
  // Kept by the keyspace, not the tree.
  EXPECT_EQ(c.index_block_restart_interval_policy, before.index_block_restart_interval_policy);
  EXPECT_EQ(c.level_count, before.level_count);
  EXPECT_EQ(c.path, before.path);

  // Absent separation clears a configuration's separation.
  EXPECT_FALSE(KeyspaceCreateOptions().apply_to_tree_config(c).kv_separation_opts);
}

}  // namespace
}  // namespace morva
