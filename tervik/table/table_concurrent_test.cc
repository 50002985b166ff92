// Eight threads reading shared tables at once, through one small block cache
// (so blocks are evicted and reloaded under the readers) and one descriptor
// cache smaller than the number of tables (so handles are evicted and
// reopened): point reads and iterations from both ends, checked against the
// written entries.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <thread>

#include "platform/fs.h"
#include "platform/testing/temp_dir.h"
#include "tervik/block/bloom_filter.h"
#include "tervik/table/table.h"
#include "tervik/table/testing/table_builder.h"

namespace tervik {
namespace {

TEST(TableConcurrentTest, PointReadsAndTwoWayIterationsShareCaches) {
  constexpr size_t kKeys = 400;
  std::vector<InternalValue> items;
  for (size_t k = 0; k < kKeys; ++k) {
    items.push_back(InternalValue::new_value(UserKey(std::string_view(testing::numbered_key(2 * k))),
                                             UserValue(std::string(24, 'a' + k % 26)), 1 + k % 5));
  }
  zv::testing::TempDir dir;
  auto cache = BlockCache::with_shards(16 * 1024, 4);
  auto fds = std::make_shared<FileDescriptorCache>(2);
  std::vector<Table> tables;
  for (int kind = 0; kind < 3; ++kind) {
    testing::TableOptions o;
    o.block_size = 256;
    o.partitioned_index = kind == 2;
    o.partitioned_filter = kind == 2;
    const std::string path = zv::fs::join(dir.path(), std::to_string(kind + 1));
    ASSERT_TRUE(testing::write_table(path, kind + 1, items, o).ok());
    auto t = Table::recover(path, Checksum(), 0, 1, cache, fds, kind == 0, kind == 0);
    ASSERT_TRUE(t.ok());
    tables.push_back(std::move(*t));
  }

  std::atomic<size_t> failures{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < 8; ++w) {
    threads.emplace_back([&, w] {
      std::mt19937_64 rng(w);
      for (int op = 0; op < 200; ++op) {
        const Table& t = tables[rng() % tables.size()];
        if (op % 2 == 0) {
          const size_t k = rng() % (2 * kKeys);
          const std::string key = testing::numbered_key(k);
          auto g = t.get(key, 100, BloomFilter::key_hash(key));
          const bool want = k % 2 == 0;
          if (!g.ok() || g->has_value() != want || (want && (*g)->value != items[k / 2].value)) {
            ++failures;
          }
          continue;
        }
        size_t lo = rng() % kKeys, hi = rng() % kKeys;
        if (lo > hi) std::swap(lo, hi);
        TableIter it = t.range(Bound::included(Slice(std::string_view(testing::numbered_key(2 * lo)))),
                               Bound::included(Slice(std::string_view(testing::numbered_key(2 * hi)))));
        size_t front = lo, back = hi + 1;
        for (;;) {
          const bool from_back = rng() % 2;
          ReadItem e = from_back ? it.next_back() : it.next();
          if (!e) break;
          if (!e->ok() || front >= back) {
            ++failures;
            break;
          }
          const size_t want = from_back ? --back : front++;
          if ((**e).key != items[want].key) ++failures;
        }
        if (front != back) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0u);
  EXPECT_LE(fds->size(), 2u);
  EXPECT_LE(cache->weight(), cache->capacity() + cache->shard_count());
}

}  // namespace
}  // namespace tervik
