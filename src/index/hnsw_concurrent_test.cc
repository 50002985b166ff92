#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <unordered_set>

#include "src/index/hnsw_index.h"
#include "src/index/testing/vector_data.h"

namespace zv {
namespace {

constexpr size_t kThreads = 8;
constexpr size_t kPerThread = 120;
constexpr size_t kDim = 16;

// Eight threads insert (half of them through drawn levels, half through a
// batch of given levels), search, refresh records in place and move storage
// offsets, all at once. Afterwards every node is present and linked, nearly
// every node is found by its own vector, and the graph is intact.
TEST(HnswConcurrentTest, InsertsAndSearchesFromEightThreads) {
  const size_t n = kThreads * kPerThread;
  const auto data = testing::clustered_vectors(n, kDim, 12, 0.3f, 3, 4);
  HnswConfig cfg;
  cfg.metric = DistanceMetric::kEuclidean;
  cfg.flat_threshold = std::nullopt;
  cfg.m = 8;
  cfg.m_max0 = 16;
  cfg.ef_construction = 40;
  HnswIndex index(cfg, IndexBacking::in_memory());
  const auto levels = index.levels_for_batch(99, n);
  auto vec = [&](size_t i) {
    return std::vector<float>(data.begin() + i * kDim, data.begin() + (i + 1) * kDim);
  };

  std::atomic<size_t> errors{0};
  std::atomic<size_t> searches{0};
  std::vector<std::thread> threads;
  for (size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (size_t k = 0; k < kPerThread; ++k) {
        const size_t i = k * kThreads + t;
        const NodeId id = i + 1;
        auto r = t % 2 ? index.add(id, FilterBitset(), VectorRepr::f32(vec(i)), i)
                       : index.add_at_level(id, FilterBitset(), VectorRepr::f32(vec(i)), i,
                                            levels[i]);
        if (!r.ok()) errors.fetch_add(1);
        if (k % 4 == 0) {
          auto hits = index.search_nearest(vec(i), std::nullopt, std::nullopt,
                                           FilterBitset::unfiltered(), 5, nullptr);
          searches.fetch_add(hits.empty() ? 0 : 1);
        }
        if (k % 10 == 5) {
          // Refresh an earlier node of this thread with the same vector.
          const size_t j = (k - 5) * kThreads + t;
          if (!index.add(j + 1, FilterBitset(), VectorRepr::f32(vec(j)), j).ok()) errors.fetch_add(1);
          if (!index.set_storage_offset(j + 1, j)) errors.fetch_add(1);
        }
      }
    });
  }
  for (auto& th : threads) th.join();

  EXPECT_EQ(errors.load(), 0u);
  EXPECT_GT(searches.load(), 0u);
  EXPECT_EQ(index.len(), n);
  EXPECT_EQ(index.node_count(), n);
  EXPECT_FALSE(index.integrity_violations());
  ASSERT_TRUE(index.entry_point());
  EXPECT_EQ(index.node_level(*index.entry_point()), index.max_level() + 1);

  size_t found = 0, linked = 0;
  for (size_t i = 0; i < n; ++i) {
    const NodeId id = i + 1;
    linked += !index.neighbors(id, 0).empty();
    auto hits = index.search_nearest(vec(i), std::nullopt, std::nullopt,
                                     FilterBitset::unfiltered(), 1, nullptr);
    found += !hits.empty() && hits[0].id == id;
  }
  EXPECT_EQ(linked, n);
  // How well a graph built by eight threads at once serves self-queries
  // depends on how the inserts interleave: on two busy cores about 91% were
  // found first (98-100% with cores to spare). The sequential recall tests
  // hold every stored vector to coming back first.
  EXPECT_GE(found, n * 85 / 100);
  // Every node is linked into layer 0; small groups of nodes linked at the
  // same moment can end up holding only each other's links (a graph built
  // concurrently does not guarantee every node reachable), but almost all
  // nodes are reachable from the entry point over the lists a search walks.
  std::unordered_set<NodeId, NodeIdHash> seen = {*index.entry_point()};
  std::vector<NodeId> queue = {*index.entry_point()};
  while (!queue.empty()) {
    const NodeId id = queue.back();
    queue.pop_back();
    auto list = index.node_layer_neighbors(id, 0);
    if (list.empty()) list = index.neighbors(id, 0);
    for (NodeId nb : list)
      if (seen.insert(nb).second) queue.push_back(nb);
  }
  EXPECT_GE(seen.size(), n * 99 / 100);
}

// Searches keep running while other threads remove and re-add nodes.
TEST(HnswConcurrentTest, RemovalsBesideSearches) {
  const size_t n = 400;
  const auto data = testing::gaussian_vectors(n, kDim, 5);
  HnswConfig cfg;
  cfg.flat_threshold = std::nullopt;
  cfg.m = 8;
  cfg.m_max0 = 16;
  cfg.ef_construction = 32;
  HnswIndex index(cfg, IndexBacking::in_memory());
  auto vec = [&](size_t i) {
    return std::vector<float>(data.begin() + i * kDim, data.begin() + (i + 1) * kDim);
  };
  for (size_t i = 0; i < n; ++i) ASSERT_TRUE(index.add(i + 1, FilterBitset(), VectorRepr::f32(vec(i)), i).ok());
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (size_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      size_t q = t;
      while (!stop.load()) {
        auto hits = index.search_nearest(vec(q % n), std::nullopt, std::nullopt,
                                         FilterBitset::unfiltered(), 10, nullptr);
        for (auto& h : hits) ASSERT_GE(h.id, NodeId{1});
        (void)index.flat_search(vec(q % n), FilterBitset::unfiltered(), 3, DistanceMetric::kCosine);
        q += 7;
      }
    });
  }
  for (size_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (size_t i = t; i < n; i += 8) {
        index.remove(i + 1);
        (void)index.add(i + 1, FilterBitset(), VectorRepr::f32(vec(i)), i);
      }
    });
  }
  for (size_t t = 4; t < 8; ++t) threads[t].join();
  stop.store(true);
  for (size_t t = 0; t < 4; ++t) threads[t].join();
  EXPECT_EQ(index.len(), n);
  index.materialize_layers();
  EXPECT_FALSE(index.integrity_violations());
}

}  // namespace
}  // namespace zv
