#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tervik/cache/block_cache.h"

namespace tervik {
namespace {

// Readers that miss the same blocks insert them concurrently while others
// evict; every value read must be the one stored under its key.
TEST(BlockCacheConcurrent, MissingThreadsInsertAndReadConsistently) {
  auto cache = BlockCache::with_shards(64 * 1024, 4);
  constexpr int kThreads = 8;
  constexpr int kKeys = 200;
  std::vector<std::thread> threads;
  std::vector<int> bad(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        for (int k = 0; k < kKeys; ++k) {
          const uint64_t key = static_cast<uint64_t>((k * 7 + t) % kKeys);
          const std::string expect(100 + key, static_cast<char>('a' + key % 26));
          if (auto hit = cache->get_blob(1, 1, key)) {
            if (hit->view() != expect) ++bad[t];
          } else {
            cache->insert_blob(1, 1, key, Slice(expect));
          }
          if (auto b = cache->get_block(1, 2, key)) {
            if (b->data.size() != key + 1) ++bad[t];
          } else {
            Block block;
            block.data = Slice(std::string(key + 1, 'k'));
            cache->insert_block(1, 2, key, std::move(block));
          }
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(bad[t], 0) << "thread " << t;
  EXPECT_LE(cache->weight(),
            cache->shard_capacity() * cache->shard_count() + cache->large_shard_capacity());
}

}  // namespace
}  // namespace tervik
