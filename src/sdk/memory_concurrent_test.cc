// Puts, updates and deletes of a few shared keys from threads that never
// pause: every statistic must equal a recount from the stored records, and
// racing puts of one key must store consecutive versions.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "src/record/version_history.h"
#include "src/sdk/embedded_db.h"
#include "src/sdk/testing/memory_fixture.h"

namespace zv {
namespace {

using sdk_testing::make_input;

class MemoryConcurrentTest : public sdk_testing::DbFixture {
 protected:
  MemoryConcurrentTest() { config.wal_sync_mode = 0; }
};

constexpr int kThreads = 8;
constexpr int kSharedKeys = 6;

std::string shared_key(uint32_t n) { return "k" + std::to_string(n % kSharedKeys); }

TEST_F(MemoryConcurrentTest, MixedWritersKeepEveryStatisticExact) {
  EmbeddedDb db = open_ok();
  auto engine = engine_of(db);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t, handle = db.clone()] {
      std::mt19937 rng(t + 11);
      for (int op = 0; op < 120; ++op) {
        const std::string key = shared_key(rng());
        if (rng() % 4 == 0) {
          if (!handle.del("ns", key).ok()) ++failures;
          continue;
        }
        // Overlapping tokens, list metadata and sparse dimensions.
        std::string payload;
        for (int i = rng() % 6; i > 0; --i) payload += "w" + std::to_string(rng() % 9) + " ";
        FieldMap meta = {{"tags", FieldValue::list_string({"t" + std::to_string(rng() % 3),
                                                           "t" + std::to_string(rng() % 3)})}};
        MemoryInput in = make_input("ns", key, payload, meta);
        if (rng() % 2) in.sparse_vector = SparseVector{{rng() % 4, 0.5f}, {9, 1.0f}};
        if (!handle.put(in).ok()) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_FALSE(sdk_testing::repair_marked(*engine));
  sdk_testing::expect_indexes_match_records(*engine);

  // The next writable open finds nothing to rebuild.
  sdk_testing::mark_index_states(*engine);
  engine.reset();
  ASSERT_TRUE(db.close().ok());
  EmbeddedDb again = open_ok();
  EXPECT_EQ(sdk_testing::rebuilt_indexes(*engine_of(again)), "");
}

TEST_F(MemoryConcurrentTest, RacingPutsStoreConsecutiveVersions) {
  EmbeddedDb db = open_ok();
  auto engine = engine_of(db);
  std::array<std::atomic<uint64_t>, kSharedKeys> acknowledged{};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t, handle = db.clone()] {
      std::mt19937 rng(t + 101);
      for (int op = 0; op < 60; ++op) {
        const uint32_t k = rng() % kSharedKeys;
        if (handle.put(make_input("ns", shared_key(k), "v" + std::to_string(op))).ok()) {
          ++acknowledged[k];
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  const uint64_t limit = *config.version_history_limit;
  for (uint32_t k = 0; k < kSharedKeys; ++k) {
    auto got = db.get("ns", shared_key(k));
    ASSERT_TRUE(got.ok() && got->has_value()) << k;
    const uint64_t n = acknowledged[k].load();
    EXPECT_EQ((*got)->version, n) << k;
    auto history = engine->scan_prefix(Partition::kVersions, version_prefix("ns", shared_key(k)));
    ASSERT_TRUE(history.ok());
    const uint64_t kept = std::min(n, limit);
    ASSERT_EQ(history->size(), kept) << k;
    for (uint64_t i = 0; i < kept; ++i) {
      EXPECT_EQ((*history)[i].key, version_key("ns", shared_key(k), n - kept + 1 + i)) << k;
    }
  }
  sdk_testing::expect_indexes_match_records(*engine);
}

// A put paused after its read of the stored record holds the key: a second
// put of the key waits for it and then stores the next version.
TEST_F(MemoryConcurrentTest, SecondPutOfAKeyWaitsForTheFirst) {
  EmbeddedDb db = open_ok();
  auto engine = engine_of(db);
  ASSERT_TRUE(db.put(make_input("ns", "k", "one")).ok());
  std::mutex mu;
  std::condition_variable cv;
  bool paused = false, release = false;
  std::atomic<int> reads{0};
  engine->maintenance_seams.at_step = [&](std::string_view step) {
    if (step != "put: existing record read" || reads++ != 0) return;
    std::unique_lock l(mu);
    paused = true;
    cv.notify_all();
    cv.wait(l, [&] { return release; });
  };
  ZolvaResult<MemoryRecord> first = make_unexpected(ZolvaError::generic("not run"));
  ZolvaResult<MemoryRecord> second = make_unexpected(ZolvaError::generic("not run"));
  std::thread a([&, h = db.clone()] { first = h.put(make_input("ns", "k", "two")); });
  {
    std::unique_lock l(mu);
    cv.wait(l, [&] { return paused; });
  }
  std::atomic<bool> second_done{false};
  std::thread b([&, h = db.clone()] {
    second = h.put(make_input("ns", "k", "three"));
    second_done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(second_done.load());
  EXPECT_EQ(reads.load(), 1);  // the second has not read the stored record yet
  {
    std::lock_guard l(mu);
    release = true;
  }
  cv.notify_all();
  a.join();
  b.join();
  ASSERT_TRUE(first.ok() && second.ok());
  EXPECT_EQ(first->version, 2u);
  EXPECT_EQ(second->version, 3u);
  engine->maintenance_seams.at_step = nullptr;
  auto got = db.get("ns", "k");
  ASSERT_TRUE(got.ok() && got->has_value());
  EXPECT_EQ((*got)->payload, "three");
  sdk_testing::expect_indexes_match_records(*engine);
}

}  // namespace
}  // namespace zv
