// Record writers that never pause beside full rebuilds: every count and
// statistic must still equal a recount from the records.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "src/record/node_key.h"
#include "src/sdk/index_rebuild.h"
#include "src/sdk/record_index.h"
#include "src/sdk/testing/indexed_writes.h"
#include "src/text/text_codecs.h"
#include "src/text/text_keys.h"

namespace zv {
namespace {

using sdk_testing::make_record;

class IndexConcurrentTest : public sdk_testing::DbFixture {
 protected:
  IndexConcurrentTest() { config.wal_sync_mode = 0; }
};

TEST_F(IndexConcurrentTest, WritersAndRebuildsKeepEveryCountExact) {
  EmbeddedDb db = open_ok();
  auto engine = engine_of(db);
  constexpr int kWriters = 4;
  constexpr int kOps = 250;
  std::atomic<int> writers_left{kWriters};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      std::mt19937 rng(w + 1);
      for (int op = 0; op < kOps; ++op) {
        const std::string key = "t" + std::to_string(w) + "-" + std::to_string(rng() % 8);
        if (rng() % 4 == 0) {
          if (!sdk_testing::delete_indexed(*engine, record_node_id("ns", key)).ok()) ++failures;
          continue;
        }
        std::string payload;
        for (int i = rng() % 7; i > 0; --i) payload += "w" + std::to_string(rng() % 12) + " ";
        FieldMap meta = {{"g", FieldValue::integer(rng() % 3)}};
        std::optional<SparseVector> sparse;
        if (rng() % 2) sparse = SparseVector{{rng() % 5, 0.5f}, {7, 1.0f}};
        if (!sdk_testing::put_indexed(*engine, make_record("ns", key, payload, meta, sparse)).ok()) {
          ++failures;
        }
      }
      --writers_left;
    });
  }
  std::atomic<int> rebuilds{0};
  threads.emplace_back([&] {
    for (int round = 0; writers_left > 0 || round < 3; ++round) {
      bool ok = true;
      switch (round % 3) {
        case 0: ok = rebuild_text_index(db).ok(); break;
        case 1: ok = rebuild_derived_index(db).ok(); break;
        case 2: ok = rebuild_sparse_index(db).ok(); break;
      }
      if (!ok) ++failures;
      ++rebuilds;
    }
  });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GE(rebuilds.load(), 3);
  sdk_testing::expect_indexes_match_records(*engine);
  sdk_testing::mark_index_states(*engine);
  engine.reset();
  ASSERT_TRUE(db.close().ok());
  EmbeddedDb again = open_ok();
  EXPECT_EQ(sdk_testing::rebuilt_indexes(*engine_of(again)), "");
}

// The interleaving the gate exists for: a record's engine write, then a
// rebuild started from another thread, then the record's index change. The
// rebuild waits for the change, so every count moves once.
TEST_F(IndexConcurrentTest, RebuildWaitsForTheChangeOfAnEarlierEngineWrite) {
  EmbeddedDb db = open_ok();
  auto engine = engine_of(db);
  ASSERT_TRUE(sdk_testing::put_indexed(*engine, make_record("ns", "one", "a b")).ok());
  const MemoryRecord two = make_record("ns", "two", "b c");
  std::thread rebuild;
  {
    text::RecordWriteLock gate(engine->index_locks.gate);
    ASSERT_TRUE(engine->insert(two.into_node()).ok());
    rebuild = std::thread([&] { EXPECT_TRUE(rebuild_text_index(db).ok()); });
    while (!engine->index_locks.gate.exclusive_waiting()) std::this_thread::yield();
    ASSERT_TRUE(apply_record_change(*engine, nullptr, &two).ok());
  }
  rebuild.join();
  auto df = [&](std::string_view token) {
    auto v = engine->backend->get(Partition::kTextIndex, text::term_stats_key("ns", token));
    return v.ok() && *v ? text::decode_term_stats(**v)->df : 0;
  };
  EXPECT_EQ(df("a"), 1u);
  EXPECT_EQ(df("b"), 2u);
  EXPECT_EQ(df("c"), 1u);
  sdk_testing::expect_indexes_match_records(*engine);
  // Later changes still find their statistics.
  ASSERT_TRUE(sdk_testing::delete_indexed(*engine, two.node_id).ok());
  EXPECT_EQ(df("b"), 1u);
}

}  // namespace
}  // namespace zv
