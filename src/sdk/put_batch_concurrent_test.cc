#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <random>
#include <thread>

#include "src/sdk/put_batch.h"
#include "src/sdk/testing/indexed_writes.h"

namespace zv {
namespace {

using sdk_testing::DbFixture;

const std::array<const char*, 5> kWords = {"alpha", "beta", "gamma", "delta", "eps"};

MemoryInput random_input(std::mt19937& rng, const std::string& key) {
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  MemoryInput in;
  in.ns = pick(0, 3) == 0 ? "other" : "ns";
  in.key = key;
  for (int w = pick(1, 5); w > 0; --w) in.payload += std::string(kWords[pick(0, 4)]) + " ";
  if (pick(0, 1)) in.metadata["tags"] = FieldValue::list_string({kWords[pick(0, 4)], kWords[pick(0, 4)]});
  if (pick(0, 2) == 0) in.sparse_vector = SparseVector{{static_cast<uint32_t>(pick(0, 5)), 0.5f}};
  return in;
}

class PutBatchConcurrentTest : public DbFixture {};

// Two put_batch callers and four threads of single puts and deletes over
// one small key set: afterwards the indexes equal a recount and the next
// open's check rebuilds nothing.
TEST_F(PutBatchConcurrentTest, BatchesPutsAndDeletesKeepTheIndexesExact) {
  config.batch_size = 4;
  {
    EmbeddedDb db = open_ok();
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
      threads.emplace_back([&db, t] {
        std::mt19937 rng(static_cast<uint32_t>(t) + 100);
        auto key = [&] { return "k" + std::to_string(std::uniform_int_distribution<int>(0, 11)(rng)); };
        for (int round = 0; round < 60; ++round) {
          if (t < 2) {
            std::vector<MemoryInput> in;
            for (int i = 0; i < 10; ++i) in.push_back(random_input(rng, key()));
            auto r = db.put_batch(std::move(in));
            ASSERT_TRUE(r.ok()) << r.error().message();
          } else if (round % 3 == 0) {
            const std::string k = key();
            ASSERT_TRUE(db.del("ns", k).ok());
            ASSERT_TRUE(db.del("other", k).ok());
          } else {
            auto r = db.put(random_input(rng, key()));
            ASSERT_TRUE(r.ok()) << r.error().message();
          }
        }
      });
    }
    for (auto& th : threads) th.join();
    auto e = engine_of(db);
    EXPECT_FALSE(e->index_locks.repair_mark.is_set());
    sdk_testing::expect_indexes_match_records(*e);
    sdk_testing::mark_index_states(*e);
    ASSERT_TRUE(db.close().ok());
  }
  EmbeddedDb again = open_ok();
  EXPECT_EQ(sdk_testing::rebuilt_indexes(*engine_of(again)), "");
}

// Without deletes, every acknowledged write of a key (a put or an
// occurrence in a batch) is one version.
TEST_F(PutBatchConcurrentTest, EveryAcknowledgedWriteIsOneVersion) {
  config.batch_size = 3;
  EmbeddedDb db = open_ok();
  constexpr int kKeys = 8;
  std::array<std::atomic<uint64_t>, kKeys> acked{};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<uint32_t>(t) + 7);
      for (int round = 0; round < 50; ++round) {
        if (t < 2) {
          std::vector<MemoryInput> in;
          std::vector<int> keys;
          for (int i = 0; i < 8; ++i) {
            keys.push_back(std::uniform_int_distribution<int>(0, kKeys - 1)(rng));
            MemoryInput m = random_input(rng, "k" + std::to_string(keys.back()));
            m.ns = "ns";
            in.push_back(std::move(m));
          }
          auto r = db.put_batch(std::move(in));
          ASSERT_TRUE(r.ok()) << r.error().message();
          for (int k : keys) ++acked[k];
        } else {
          const int k = std::uniform_int_distribution<int>(0, kKeys - 1)(rng);
          MemoryInput m = random_input(rng, "k" + std::to_string(k));
          m.ns = "ns";
          ASSERT_TRUE(db.put(std::move(m)).ok());
          ++acked[k];
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int k = 0; k < kKeys; ++k) {
    auto r = db.get("ns", "k" + std::to_string(k));
    ASSERT_TRUE(r.ok() && r->has_value());
    EXPECT_EQ((*r)->version, acked[k].load()) << k;
  }
  sdk_testing::expect_indexes_match_records(*engine_of(db));
}

}  // namespace
}  // namespace zv
