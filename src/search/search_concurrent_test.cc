// The vector stages and the driver on many threads while writers store and
// delete records, an index rebuilt from the current one is swapped into the
// engine's slot, and finally the handle closes.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "src/index/hnsw_index.h"
#include "src/search/dense_stage.h"
#include "src/search/driver.h"
#include "src/search/sparse_stage.h"
#include "src/search/testing/vector_records.h"

namespace zv::search {
namespace {


using search_testing::fields;
using search_testing::RecordFixture;
using search_testing::vector_record;

std::vector<float> random_vec(std::mt19937& rng) {
  std::normal_distribution<float> n(0.0f, 1.0f);
  return {n(rng) + 2.0f, n(rng), n(rng), n(rng)};
}

// Tags whose estimates fall in the three bands over 400 records: rare
// (0.005, exact), mid (0.05, pre-filter), common (0.5, post-filter).
const char* tag_of(int i) {
  if (i % 200 == 0) return "rare";
  if (i % 20 == 1) return "mid";
  return i % 2 ? "common" : "plain";
}

MemoryRecord record(std::mt19937& rng, const std::string& ns, int i) {
  MemoryRecord r = vector_record(ns, "k" + std::to_string(i), random_vec(rng),
                                 fields("tag", FieldValue::string(tag_of(i))));
  r.payload = std::string("word ") + tag_of(i);
  r.sparse_vector = SparseVector{{uint32_t(i % 7), 1.0f}, {9, 0.5f}};
  return r;
}

std::shared_ptr<VectorIndexPort> rebuilt(const VectorIndexPort& from) {
  auto index = std::make_shared<HnswIndex>(HnswConfig{}, IndexBacking::in_memory());
  for (NodeId id : from.node_ids()) {
    auto entry = from.vector_and_offset(id);
    if (!entry) continue;
    (void)index->add(id, FilterBitset(), std::move(entry->second), entry->first);
  }
  return index;
}

TEST(SearchConcurrent, StagesAndDriverBesideWritersAndSwaps) {
  RecordFixture f;
  std::mt19937 seed_rng(1);
  for (const std::string ns : {"a", "b"}) {
    for (int i = 0; i < 200; ++i) f.put(record(seed_rng, ns, i));
  }
  std::atomic<bool> closed{false};
  SearchContext ctx{[&]() -> ZolvaResult<std::shared_ptr<StorageEngine>> {
                      if (closed.load()) return make_unexpected(ZolvaError::not_initialized());
                      return f.shared_engine();
                    },
                    std::nullopt};
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> calls{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < 2; ++w) {
    threads.emplace_back([&, w] {
      std::mt19937 rng(100 + w);
      const std::string ns = w ? "b" : "a";
      while (!stop.load()) {
        const int i = int(rng() % 200);
        if (rng() % 4 == 0) {
          f.remove(ns, "k" + std::to_string(i));
        } else {
          f.put(record(rng, ns, i));
        }
      }
    });
  }
  threads.emplace_back([&] {
    while (!stop.load()) {
      f.engine().swap_vector_index(rebuilt(*f.engine().vector_index()));
      sleep_ms(30);
    }
  });
  for (int r = 0; r < 8; ++r) {
    threads.emplace_back([&, r] {
      std::mt19937 rng(r);
      const std::string ns = r % 2 ? "b" : "a";
      const char* tags[] = {"rare", "mid", "common"};
      while (!stop.load()) {
        const FieldMap filters = fields("tag", FieldValue::string(tags[rng() % 3]));
        const std::vector<float> q = random_vec(rng);
        auto dense = dense_candidates(ctx.engine, ns, q, filters, 1 + rng() % 20,
                                      DistanceMetric::kCosine, uint8_t(rng() % 2 ? 0 : 5));
        auto sparse = sparse_candidates(ctx.engine, ns, SparseVector{{uint32_t(rng() % 7), 1.0f}},
                                        filters, 1 + rng() % 20);
        SearchRequest req;
        req.ns = ns;
        req.top_k = 1 + rng() % 10;
        if (rng() % 2) req.text_query = "word";
        if (rng() % 2) req.query_vector = q;
        if (rng() % 2) req.query_sparse = SparseVector{{9, 1.0f}};
        if (rng() % 3 == 0) req.filters = filters;
        auto page = search_impl(ctx, req, 0);
        for (const auto* r : {&dense, &sparse}) {
          ASSERT_TRUE(r->ok()) << r->error().message();
          for (const SearchHit& h : **r) EXPECT_EQ(h.record.ns, ns);
        }
        ASSERT_TRUE(page.ok()) << page.error().message();
        for (const SearchHit& h : page->hits) EXPECT_EQ(h.record.ns, ns);
        calls.fetch_add(1);
      }
    });
  }
  const uint64_t start = monotonic_ns();
  while (monotonic_ns() - start < 2000000000ull) sleep_ms(20);
  stop.store(true);
  for (auto& t : threads) t.join();
  EXPECT_GT(calls.load(), 50u);

  // After the close every search fails with NotInitialized.
  closed.store(true);
  SearchRequest req;
  req.ns = "a";
  for (int route = 1; route < 8; ++route) {
    req.text_query = route & 1 ? std::optional<std::string>("word") : std::nullopt;
    req.query_vector = route & 2 ? std::vector<float>{1, 0, 0, 0} : std::vector<float>{};
    req.query_sparse = route & 4 ? std::optional<SparseVector>(SparseVector{{9, 1.0f}}) : std::nullopt;
    auto page = search_impl(ctx, req, 0);
    ASSERT_FALSE(page.ok());
    EXPECT_EQ(page.error().message(), "Engine not initialized");
  }
}

}  // namespace
}  // namespace zv::search
