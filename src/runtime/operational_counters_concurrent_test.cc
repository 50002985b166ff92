#include "src/runtime/operational_counters.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

namespace zv {
namespace {

TEST(OperationalCounters, EveryCellHasOneNameAndItsKind) {
  std::set<std::string_view> names;
  for (const auto& c : OperationalCounters::cells()) EXPECT_TRUE(names.insert(c.name).second);
  EXPECT_EQ(names.size(), OperationalCounters::cells().size());
  auto kind_of = [](std::string_view n) {
    for (const auto& c : OperationalCounters::cells())
      if (c.name == n) return c.kind;
    ADD_FAILURE() << n;
    return CounterKind::kSet;
  };
  for (auto n : {"startup_ms", "wal_replay_ms", "wal_records_replayed", "ann_rebuild_ms",
                 "ann_rebuild_scanned_nodes", "derived_rebuild_ms", "text_index_rebuild_ms",
                 "text_lexical_query_ms", "hybrid_query_ms"})
    EXPECT_EQ(kind_of(n), CounterKind::kMax) << n;
  for (auto n : {"process_rss_bytes", "process_virtual_bytes", "hnsw_nodes_count",
                 "hnsw_logical_bytes", "volatile_cache_entries"})
    EXPECT_EQ(kind_of(n), CounterKind::kSet) << n;
  for (auto n : {"text_postings_written", "derived_prefix_scans", "records_imported",
                 "evicted_nodes", "sq8_vectors", "import_errors"})
    EXPECT_EQ(kind_of(n), CounterKind::kAdd) << n;
}

TEST(OperationalCounters, UpdatesFollowTheirKindAndNeverReset) {
  CounterCell c;
  c.max(5);
  c.max(3);
  EXPECT_EQ(c.read(), 5u);
  c.add(2);
  EXPECT_EQ(c.read(), 7u);
  c.sub(10);
  EXPECT_EQ(c.read(), 0u);
  c.set(4);
  EXPECT_EQ(c.read(), 4u);
  OptionalCounterCell o;
  EXPECT_FALSE(o.read().has_value());
  o.set(9);
  EXPECT_EQ(o.read(), 9u);
  o.set(std::nullopt);
  EXPECT_FALSE(o.read().has_value());
  // One registry per process: two users see the same cells.
  OperationalCounters& a = OperationalCounters::global();
  OperationalCounters& b = OperationalCounters::global();
  const uint64_t before = b.text_index_repairs.read();
  a.text_index_repairs.add(1);
  EXPECT_EQ(b.text_index_repairs.read(), before + 1);
}

TEST(OperationalCounters, MaxUnderContentionKeepsTheLargest) {
  CounterCell cell;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (uint64_t i = 0; i < 20000; ++i) cell.max(i * 8 + t);
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(cell.read(), 19999u * 8 + 7);
  CounterCell sum;
  threads.clear();
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) sum.add(1);
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(sum.read(), 80000u);
}

}  // namespace
}  // namespace zv
