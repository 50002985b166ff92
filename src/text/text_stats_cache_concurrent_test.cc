#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "src/backends/in_memory_backend.h"
#include "src/text/text_keys.h"
#include "src/text/text_stats_cache.h"

namespace zv::text {
namespace {

// Readers fill both caches from the backend while writers commit batches and
// run their upkeep. Each writer owns its keys (record changes to one key are
// serialised by their caller), so once the writers are done every cached
// value must equal the backend's: a reader that read before an upkeep may not
// leave its older value behind.
TEST(TextStatsCacheConcurrent, CachedValuesEndEqualToTheBackend) {
  constexpr int kWriters = 4;
  constexpr int kReaders = 8;
  constexpr int kKeysPerWriter = 16;
  constexpr int kRounds = 400;
  InMemoryBackend backend;
  TextStatsCaches caches;
  auto token = [](int w, int k) { return "w" + std::to_string(w) + "t" + std::to_string(k); };
  auto ns = [](int w) { return "ns" + std::to_string(w); };

  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      std::mt19937 rng(w);
      for (int round = 0; round < kRounds; ++round) {
        std::vector<BatchOp> ops;
        const int k = static_cast<int>(rng() % kKeysPerWriter);
        if (rng() % 5 == 0) {
          ops.push_back(BatchOp::del(Partition::kTextIndex, term_stats_key(ns(w), token(w, k))));
        } else {
          ops.push_back(BatchOp::put(Partition::kTextIndex, term_stats_key(ns(w), token(w, k)),
                                     encode_term_stats(round)));
        }
        ops.push_back(BatchOp::put(Partition::kTextIndex, namespace_stats_key(ns(w)),
                                   encode_namespace_stats(round, round * 3)));
        ASSERT_TRUE(backend.write_batch(ops).ok());
        refresh_stats_caches(caches, ops);
      }
    });
  }
  for (int r = 0; r < kReaders; ++r) {
    threads.emplace_back([&, r] {
      std::mt19937 rng(100 + r);
      while (!done.load()) {
        const int w = static_cast<int>(rng() % kWriters);
        const int k = static_cast<int>(rng() % kKeysPerWriter);
        ASSERT_TRUE(text_term_stats(backend, caches, ns(w), token(w, k)).ok());
        ASSERT_TRUE(text_namespace_stats(backend, caches, ns(w)).ok());
      }
    });
  }
  for (int w = 0; w < kWriters; ++w) threads[w].join();
  done.store(true);
  for (size_t i = kWriters; i < threads.size(); ++i) threads[i].join();

  for (int w = 0; w < kWriters; ++w) {
    for (int k = 0; k < kKeysPerWriter; ++k) {
      auto stored = backend.get(Partition::kTextIndex, term_stats_key(ns(w), token(w, k)));
      ASSERT_TRUE(stored.ok());
      auto cached = caches.term.peek(term_cache_key(ns(w), token(w, k)));
      if (!cached) continue;
      ASSERT_TRUE(stored->has_value()) << token(w, k);
      EXPECT_EQ(*cached, decode_term_stats(**stored)->df) << token(w, k);
    }
    auto stored = backend.get(Partition::kTextIndex, namespace_stats_key(ns(w)));
    ASSERT_TRUE(stored.ok() && stored->has_value());
    auto cached = caches.ns.peek(ns(w));
    if (cached) {
      EXPECT_EQ(*cached, *decode_namespace_stats(**stored));
    }
  }
}

}  // namespace
}  // namespace zv::text
