#include "tervik/cache/block_cache.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/sysinfo.h"

namespace tervik {
namespace {

Slice bytes(size_t n, char c = 'v') { return Slice(std::string(n, c)); }

Block block_of(size_t n) {
  Block b;
  b.header.data_length = static_cast<uint32_t>(n);
  b.header.uncompressed_length = static_cast<uint32_t>(n);
  b.data = bytes(n, 'b');
  return b;
}

TEST(BlockCacheShards, CountRule) {
  struct Case {
    uint64_t processors;
    uint64_t estimated;
    size_t shards;
  };
  const Case cases[] = {
      {0, kBlockCacheEstimatedItems, 4},     // no processor count: as one
      {1, kBlockCacheEstimatedItems, 4},
      {3, kBlockCacheEstimatedItems, 16},    // 12 rounds up to 16
      {8, kBlockCacheEstimatedItems, 32},
      {64, kBlockCacheEstimatedItems, 256},
      {100, kBlockCacheEstimatedItems, 256}, // 512 halved: 19 items per shard
      {8, 1000, 16},                         // 31 per shard in 32 is too few
      {8, 100, 2},
      {8, 10, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(block_cache_shard_count(c.processors, c.estimated), c.shards)
        << c.processors << " processors, " << c.estimated << " items";
  }
}

TEST(BlockCacheShards, CapacityIsSplitRoundingUp) {
  struct Case {
    uint64_t capacity;
    size_t shards;
    uint64_t per_shard;
    uint64_t large;
  };
  const Case cases[] = {
      {1000, 32, 24, 250}, {1024, 32, 24, 256}, {0, 4, 0, 0}, {1, 256, 1, 0}, {100, 1, 100, 0},
  };
  for (const Case& c : cases) {
    auto cache = BlockCache::with_shards(c.capacity, c.shards);
    EXPECT_EQ(cache->shard_capacity(), c.per_shard) << c.capacity << " / " << c.shards;
    EXPECT_EQ(cache->large_shard_capacity(), c.large) << c.capacity << " / " << c.shards;
    EXPECT_LE(cache->shard_capacity() * c.shards + c.large, c.capacity + c.shards);
    EXPECT_EQ(cache->capacity(), c.capacity);
  }
  auto dflt = BlockCache::with_capacity_bytes(BlockCache::kDefaultTreeCapacity);
  EXPECT_EQ(dflt->shard_count(), block_cache_shard_count(zv::logical_processor_count()));
  EXPECT_EQ(dflt->capacity(), 16u * 1024 * 1024);
}

TEST(BlockCache, EvictsByWeightSparingReferencedEntries) {
  auto cache = BlockCache::with_shards(100, 1);
  cache->insert_blob(1, 7, 0, bytes(40, 'a'));
  cache->insert_blob(1, 7, 100, bytes(40, 'b'));
  cache->insert_blob(1, 7, 200, bytes(40, 'c'));
  EXPECT_FALSE(cache->get_blob(1, 7, 0).has_value()) << "oldest entry must make room";
  EXPECT_EQ(cache->weight(), 80u);

  ASSERT_TRUE(cache->get_blob(1, 7, 100).has_value());  // b is now referenced
  cache->insert_blob(1, 7, 300, bytes(40, 'd'));
  EXPECT_TRUE(cache->get_blob(1, 7, 100).has_value());
  EXPECT_FALSE(cache->get_blob(1, 7, 200).has_value()) << "unreferenced c goes before b";
  EXPECT_EQ(cache->get_blob(1, 7, 300)->view(), std::string(40, 'd'));
  EXPECT_EQ(cache->weight(), 80u);
  EXPECT_EQ(cache->size(), 2u);

  // One heavy entry may push out everything else; one heavier than the shard is not kept.
  cache->insert_blob(1, 8, 0, bytes(100, 'e'));
  EXPECT_EQ(cache->size(), 1u);
  cache->insert_blob(1, 8, 1, bytes(101, 'f'));
  EXPECT_FALSE(cache->get_blob(1, 8, 1).has_value());
  EXPECT_LE(cache->weight(), 100u);
}

TEST(BlockCache, EntriesHeavierThanAShardLiveInTheLargeEntryShard) {
  // 1000 bytes over 4 shards: 250 for large entries, 188 per ordinary shard.
  auto cache = BlockCache::with_shards(1000, 4);
  ASSERT_EQ(cache->shard_capacity(), 188u);
  cache->insert_block(1, 2, 0, block_of(200));  // a whole filter of a big table
  ASSERT_TRUE(cache->get_block(1, 2, 0).has_value());
  EXPECT_EQ(cache->get_block(1, 2, 0)->data.size(), 200u);
  cache->insert_block(1, 2, 1, block_of(251));  // beyond the large share
  EXPECT_FALSE(cache->get_block(1, 2, 1).has_value());
  // A second large entry evicts the first; small ones are untouched by it.
  for (uint64_t off = 10; off < 20; ++off) cache->insert_block(1, 3, off, block_of(10));
  cache->insert_block(1, 2, 2, block_of(190));
  EXPECT_FALSE(cache->get_block(1, 2, 0).has_value());
  EXPECT_TRUE(cache->get_block(1, 2, 2).has_value());
  for (uint64_t off = 10; off < 20; ++off) EXPECT_TRUE(cache->get_block(1, 3, off).has_value()) << off;
  EXPECT_EQ(cache->weight(), 10u * 10 + 190);
  // Replacing a key across the weight classes keeps one entry for it.
  cache->insert_block(1, 2, 2, block_of(20));
  EXPECT_EQ(cache->get_block(1, 2, 2)->data.size(), 20u);
  cache->insert_block(1, 3, 10, block_of(190));
  EXPECT_EQ(cache->get_block(1, 3, 10)->data.size(), 190u);
  EXPECT_EQ(cache->size(), 11u);
  EXPECT_EQ(cache->weight(), 20u + 9 * 10 + 190);
  cache->remove({CacheKind::kTableBlock, 1, 3, 10});
  EXPECT_FALSE(cache->get_block(1, 3, 10).has_value());
  EXPECT_LE(cache->weight(), cache->capacity());
}

TEST(BlockCache, ReplacingAnEntryReleasesItsWeight) {
  auto cache = BlockCache::with_shards(1000, 1);
  cache->insert_blob(1, 2, 3, bytes(300));
  cache->insert_blob(1, 2, 3, bytes(500, 'x'));
  EXPECT_EQ(cache->weight(), 500u);
  EXPECT_EQ(cache->size(), 1u);
  EXPECT_EQ(cache->get_blob(1, 2, 3)->view(), std::string(500, 'x'));
  cache->insert_blob(1, 2, 4, Slice());  // an empty value still counts
  EXPECT_EQ(cache->weight(), 501u);
  cache->remove({CacheKind::kBlob, 1, 2, 3});
  EXPECT_EQ(cache->weight(), 1u);
}

TEST(BlockCache, KindsTreesAndFilesAreSeparateKeys) {
  auto cache = BlockCache::with_shards(1 << 20, 4);
  cache->insert_block(1, 2, 3, block_of(64));
  cache->insert_blob(1, 2, 3, bytes(10, 'z'));
  auto block = cache->get_block(1, 2, 3);
  ASSERT_TRUE(block.has_value());
  EXPECT_EQ(block->data.size(), 64u);
  EXPECT_EQ(cache->get_blob(1, 2, 3)->view(), std::string(10, 'z'));
  EXPECT_FALSE(cache->get_block(2, 2, 3).has_value());
  EXPECT_FALSE(cache->get_block(1, 3, 3).has_value());
  EXPECT_FALSE(cache->get_blob(1, 2, 4).has_value());
  EXPECT_EQ(cache->weight(), 74u);
}

TEST(BlockCache, TwoMissesOfOneBlockBothInsertAndTheLaterStays) {
  auto cache = BlockCache::with_shards(1 << 20, 8);
  // Both readers miss, both load the block and insert it.
  ASSERT_FALSE(cache->get_block(1, 9, 0).has_value());
  ASSERT_FALSE(cache->get_block(1, 9, 0).has_value());
  cache->insert_block(1, 9, 0, block_of(32));
  cache->insert_block(1, 9, 0, block_of(48));
  EXPECT_EQ(cache->size(), 1u);
  EXPECT_EQ(cache->weight(), 48u);
  EXPECT_EQ(cache->get_block(1, 9, 0)->data.size(), 48u);
}

TEST(BlockCache, ZeroCapacityKeepsNothing) {
  auto cache = BlockCache::with_capacity_bytes(0);
  cache->insert_blob(1, 1, 1, bytes(1));
  cache->insert_block(1, 1, 1, block_of(1));
  EXPECT_EQ(cache->size(), 0u);
}

}  // namespace
}  // namespace tervik
