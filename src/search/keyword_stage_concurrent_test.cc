#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "src/search/keyword_stage.h"
#include "src/search/testing/record_fixture.h"

namespace zv::search {
namespace {

// Queries run while writers store, rewrite and delete records sharing their
// words: every query succeeds, and every hit is a record of the namespace.
TEST(TextQueryConcurrent, QueriesBesideWriters) {
  search_testing::RecordFixture f;
  const char* words[] = {"red", "green", "blue", "cyan", "gold"};
  for (int i = 0; i < 40; ++i) {
    f.put("ns", "k" + std::to_string(i), std::string(words[i % 5]) + " " + words[(i + 1) % 5]);
  }
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> failures{0};
  std::atomic<uint64_t> queries{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < 2; ++w) {
    threads.emplace_back([&, w] {
      std::mt19937 rng(w + 1);
      while (!stop.load()) {
        const std::string key = "k" + std::to_string(rng() % 40);
        std::string payload;
        for (int j = 0; j < 1 + static_cast<int>(rng() % 6); ++j) {
          payload += words[rng() % 5];
          payload += ' ';
        }
        if (rng() % 3 == 0) {
          f.remove("ns", key);
        } else {
          f.put("ns", key, payload);
        }
      }
    });
  }
  const char* queries_text[] = {"red", "green blue", "\"red green\"", "gold cyan red", "\"blue blue\""};
  for (int r = 0; r < 8; ++r) {
    threads.emplace_back([&, r] {
      int i = r;
      while (!stop.load()) {
        ++i;
        auto hits = text_query(f.engine(), "ns", queries_text[i % 5], {}, 1 + (i % 20));
        queries.fetch_add(1);
        if (!hits.ok()) {
          failures.fetch_add(1);
          ADD_FAILURE() << hits.error().message();
          continue;
        }
        for (const SearchHit& h : *hits) EXPECT_EQ(h.record.ns, "ns");
      }
    });
  }
  const uint64_t start = monotonic_ns();
  while (monotonic_ns() - start < 1500000000ull && failures.load() == 0) sleep_ms(20);
  stop.store(true);
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0u);
  EXPECT_GT(queries.load(), 100u);
}

}  // namespace
}  // namespace zv::search
