// Counting, listing and naming namespaces while writers that never pause
// put and delete records of their own keys beside a set of records no writer
// touches: no error, and every count covers the untouched set (the walker
// reads one snapshot of the index, so it skips none of them).
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "src/record/node_key.h"
#include "src/sdk/embedded_db.h"
#include "src/sdk/testing/indexed_writes.h"

namespace zv {
namespace {

using sdk_testing::make_record;

class NamespacesConcurrentTest : public sdk_testing::DbFixture,
                                 public ::testing::WithParamInterface<BackendKind> {
 protected:
  NamespacesConcurrentTest() {
    config.wal_sync_mode = 2;
    config.backend = GetParam();
  }
};

TEST_P(NamespacesConcurrentTest, ReadersSeeEveryUntouchedRecordBesideWriters) {
  EmbeddedDb db = open_ok();
  auto engine = engine_of(db);
  constexpr int kUntouched = 300;
  constexpr int kWriters = 4;
  constexpr int kWriterKeys = 40;
  for (int i = 0; i < kUntouched; ++i) {
    // Interleaved with the writers' keys in index order.
    ASSERT_TRUE(sdk_testing::put_indexed(
        *engine, make_record("n", "k" + std::to_string(1000 + i) + "u", "p", {{"g", FieldValue::integer(1)}})).ok());
  }
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::atomic<int> writes{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      std::mt19937 rng(w + 1);
      while (!stop.load()) {
        // Spread among the untouched keys: kWriterKeys distinct keys each.
        const std::string key =
            "k" + std::to_string(1000 + (rng() % kWriterKeys) * (kUntouched / kWriterKeys)) + "w" + std::to_string(w);
        const bool ok = rng() % 3 == 0
                            ? sdk_testing::delete_indexed(*engine, record_node_id("n", key)).ok()
                            : sdk_testing::put_indexed(*engine, make_record("n", key, "p", {{"g", FieldValue::integer(1)}})).ok();
        if (!ok) ++failures;
        ++writes;
      }
    });
  }
  const uint64_t most = kUntouched + kWriters * kWriterKeys;
  const auto g1 = std::vector{MemoryFilterItem{"g", FilterOp::kEq, FieldValue::integer(1)}};
  for (int round = 0; round < 30; ++round) {
    for (const auto& items : {std::optional<std::vector<MemoryFilterItem>>(), std::optional(g1)}) {
      auto n = db.count("n", items);
      ASSERT_TRUE(n.ok()) << n.error().message();
      EXPECT_GE(*n, static_cast<uint64_t>(kUntouched));
      EXPECT_LE(*n, most);
    }
    MemoryListOptions o;
    o.limit = 64;
    o.filter_ops = g1;
    uint64_t listed = 0;
    for (int page = 0; page < 100; ++page) {
      auto p = db.list("n", o);
      ASSERT_TRUE(p.ok()) << p.error().message();
      listed += p->records.size();
      for (const MemoryRecord& r : p->records) EXPECT_EQ(r.ns, "n");
      if (!p->next_cursor) break;
      o.cursor = p->next_cursor;
    }
    EXPECT_LE(listed, most + kWriters * kWriterKeys);  // pages may shift, not run away
    auto names = db.list_namespaces();
    ASSERT_TRUE(names.ok()) << names.error().message();
    EXPECT_EQ(*names, std::vector<std::string>{"n"});
  }
  stop = true;
  for (auto& t : writers) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(writes.load(), 0);
}

// Another thread deletes matching keys while delete_by_filter runs: every
// record is deleted once, and a key gone before its turn is not counted.
TEST_P(NamespacesConcurrentTest, DeleteByFilterCountsOnlyItsOwnDeletions) {
  EmbeddedDb db = open_ok();
  auto engine = engine_of(db);
  constexpr int kRecords = 600;
  for (int i = 0; i < kRecords; ++i) {
    ASSERT_TRUE(sdk_testing::put_indexed(
        *engine, make_record("n", "k" + std::to_string(1000 + i), "p", {{"g", FieldValue::integer(1)}})).ok());
  }
  std::atomic<uint64_t> by_other{0};
  std::thread other([&] {
    for (int i = kRecords - 1; i >= 0; i -= 2) {
      auto d = db.del("n", "k" + std::to_string(1000 + i));
      ASSERT_TRUE(d.ok()) << d.error().message();
      if (*d) ++by_other;
    }
  });
  auto deleted = db.delete_by_filter("n", {MemoryFilterItem{"g", FilterOp::kEq, FieldValue::integer(1)}});
  other.join();
  ASSERT_TRUE(deleted.ok()) << deleted.error().message();
  EXPECT_EQ(*deleted + by_other.load(), static_cast<uint64_t>(kRecords));
  EXPECT_EQ(*db.count("n", std::nullopt), 0u);
}

INSTANTIATE_TEST_SUITE_P(Backends, NamespacesConcurrentTest,
                         ::testing::Values(BackendKind::kInMemory, BackendKind::kMorva),
                         [](const auto& info) {
                           return info.param == BackendKind::kInMemory ? std::string("InMemory")
                                                                       : std::string("KeyValueEngine");
                         });

}  // namespace
}  // namespace zv
