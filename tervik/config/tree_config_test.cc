#include "tervik/config/tree_config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/fs.h"
#include "tervik/config/leveled_options.h"
#include "tervik/core/testing/panic_capture.h"

namespace tervik {
namespace {

std::string cwd() {
  char buf[4096];
  return getcwd(buf, sizeof(buf)) ? std::string(buf) : std::string();
}

TEST(TreeConfigTest, Defaults) {
  const auto c = TreeConfig::defaults();
  EXPECT_EQ(c.path, zv::fs::join(cwd(), ".lsm.data"));
  EXPECT_EQ(c.data_block_size_policy.entries(), std::vector<uint32_t>{4096});
  EXPECT_EQ(c.data_block_restart_interval_policy.entries(), std::vector<uint8_t>{16});
  EXPECT_EQ(c.index_block_restart_interval_policy.entries(), std::vector<uint8_t>{1});
  EXPECT_EQ(c.data_block_hash_ratio_policy.entries(), std::vector<float>{0.0f});
  EXPECT_EQ(c.filter_policy.entries().size(), 1u);
  EXPECT_EQ(c.filter_policy.get(0), FilterPolicyEntry::bits_per_key(10.0f));
  EXPECT_FALSE(c.kv_separation_opts.has_value());
  ASSERT_NE(c.cache, nullptr);
  EXPECT_EQ(c.cache->capacity(), 16u * 1024 * 1024);
  ASSERT_NE(c.descriptor_table, nullptr);
  EXPECT_EQ(c.descriptor_table->capacity(), 256u);
  EXPECT_EQ(c.seqno.get(), 0u);
  EXPECT_EQ(c.visible_seqno.get(), 0u);
  EXPECT_EQ(c.compaction_filter_factory, nullptr);
  EXPECT_FALSE(c.expect_point_read_hits);
  EXPECT_EQ(c.level_count, 7);

  const LeveledOptions leveled;
  EXPECT_EQ(leveled.level_ratio_policy, std::vector<float>{10.0f});
  EXPECT_EQ(leveled.target_size, 67108864u);
  EXPECT_EQ(leveled.l0_threshold, 4);
}

TEST(TreeConfigTest, CreateMakesFolderAbsoluteAndSharesCounters) {
  struct Case {
    std::string folder;
    std::string want;
  };
  const Case cases[] = {
      {"trees/a", zv::fs::join(cwd(), "trees/a")},
      {"/abs/tree", "/abs/tree"},
  };
  for (const auto& c : cases) {
    SeqNoCounter seqno(5), visible(3);
    auto config = TreeConfig::create(c.folder, seqno, visible);
    EXPECT_EQ(config.path, c.want);
    // The configuration holds the caller's counters, not copies of their value.
    EXPECT_EQ(seqno.next(), 5u);
    EXPECT_EQ(config.seqno.get(), 6u);
    visible.raise_to(9);
    EXPECT_EQ(config.visible_seqno.get(), 9u);
  }
  EXPECT_EQ(testing::panic_message([] { (void)TreeConfig::create("", SeqNoCounter(), SeqNoCounter()); }),
            kFatalNotAbsolutePath);
}

TEST(TreeConfigTest, SettersReplaceOneFieldAndChain) {
  auto cache = BlockCache::with_capacity_bytes(1 << 20);
  auto descriptors = std::make_shared<FileDescriptorCache>(400);
  auto c = TreeConfig::defaults()
               .with_data_block_size_policy(BlockSizePolicy::all(8192))
               .with_data_block_hash_ratio_policy(HashRatioPolicy::all(0.75f))
               .with_data_block_compression_policy(CompressionPolicy::disabled())
               .with_index_block_compression_policy(CompressionPolicy{CompressionType::kLz4})
               .with_data_block_restart_interval_policy(RestartIntervalPolicy::all(4))
               .with_filter_policy(FilterPolicy::of(FilterPolicyEntry::bits_per_key(5.0f),
                                                    FilterPolicyEntry::false_positive_rate(0.01f)))
               .use_cache(cache)
               .use_descriptor_table(descriptors);
  EXPECT_EQ(c.data_block_size_policy.get(3), 8192u);
  EXPECT_EQ(c.data_block_hash_ratio_policy.get(3), 0.75f);
  EXPECT_EQ(c.data_block_compression_policy.get(3), CompressionType::kNone);
  EXPECT_EQ(c.index_block_compression_policy.get(3), CompressionType::kLz4);
  EXPECT_EQ(c.data_block_restart_interval_policy.get(3), 4);
  EXPECT_EQ(c.filter_policy.get(0), FilterPolicyEntry::bits_per_key(5.0f));
  EXPECT_EQ(c.filter_policy.get(6), FilterPolicyEntry::false_positive_rate(0.01f));
  EXPECT_EQ(c.cache, cache);
  EXPECT_EQ(c.descriptor_table, descriptors);
  // Untouched fields keep their defaults.
  EXPECT_EQ(c.index_block_pinning_policy.get(1), true);

  auto without = TreeConfig::defaults().use_descriptor_table(nullptr);
  EXPECT_EQ(without.descriptor_table, nullptr);
}

}  // namespace
}  // namespace tervik
