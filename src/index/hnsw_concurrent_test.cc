#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
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
  // Unclustered points: on well-separated clusters, how many self-queries
  // find their node depends on how the first inserts interleave (a cluster
  // can end up with few links in), which would make the count below a
  // measure of the scheduler rather than of lost nodes and links.
  const auto data = testing::gaussian_vectors(n, kDim, 3);
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
  // A graph built by eight threads at once serves self-queries a little
  // worse than one built in order (over many runs on two oversubscribed
  // cores, optimised and under ThreadSanitizer, at least 98.8% were found
  // first); the sequential recall tests hold every stored vector to coming
  // back first.
  EXPECT_GE(found, n * 97 / 100);
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
  // (At least 98.8% over the same runs.)
  EXPECT_GE(seen.size(), n * 97 / 100);
}

// Searches keep running while other threads remove and re-add nodes and
// then move them to new values in place (which sends searches from the
// nodes' search views to their records). Every score a search returns is
// that of the node's old or new vector, never of a mix; afterwards every
// score is that of the node's current vector.
TEST(HnswConcurrentTest, RemovalsAndChangesBesideSearches) {
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
  // The new values point the other way: the cosine changes sign, not size.
  auto negated = [&](size_t i) {
    auto v = vec(i);
    for (float& x : v) x = -x;
    return v;
  };
  auto cosine = [](const std::vector<float>& a, const std::vector<float>& b) {
    double d = 0, na = 0, nb = 0;
    for (size_t k = 0; k < a.size(); ++k) {
      d += double{a[k]} * b[k];
      na += double{a[k]} * a[k];
      nb += double{b[k]} * b[k];
    }
    return d / std::sqrt(na * nb);
  };
  for (size_t i = 0; i < n; ++i) ASSERT_TRUE(index.add(i + 1, FilterBitset(), VectorRepr::f32(vec(i)), i).ok());
  std::atomic<bool> stop{false};
  std::atomic<size_t> errors{0}, wrong_scores{0};
  std::vector<std::thread> threads;
  for (size_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      size_t q = t;
      while (!stop.load()) {
        const auto query = vec(q % n);
        auto hits = index.search_nearest(query, std::nullopt, std::nullopt,
                                         FilterBitset::unfiltered(), 10, nullptr);
        for (auto& h : hits) {
          if (h.id < 1 || h.id > n) {
            errors.fetch_add(1);
            continue;
          }
          const double want = std::abs(cosine(query, vec(static_cast<size_t>(h.id) - 1)));
          if (std::abs(std::abs(double{h.score}) - want) > 1e-4) wrong_scores.fetch_add(1);
        }
        (void)index.flat_search(query, FilterBitset::unfiltered(), 3, DistanceMetric::kCosine);
        q += 7;
      }
    });
  }
  for (size_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (size_t i = t; i < n; i += 8) {
        if (!index.remove(i + 1)) errors.fetch_add(1);
        if (!index.add(i + 1, FilterBitset(), VectorRepr::f32(vec(i)), i).ok()) errors.fetch_add(1);
        if (!index.add(i + 1, FilterBitset(), VectorRepr::f32(negated(i)), i).ok())
          errors.fetch_add(1);
      }
    });
  }
  for (size_t t = 4; t < 8; ++t) threads[t].join();
  stop.store(true);
  for (size_t t = 0; t < 4; ++t) threads[t].join();
  EXPECT_EQ(errors.load(), 0u);
  EXPECT_EQ(wrong_scores.load(), 0u);
  EXPECT_EQ(index.len(), n);
  index.materialize_layers();
  EXPECT_FALSE(index.integrity_violations());
  auto current = [&](size_t i) { return i % 8 < 4 ? negated(i) : vec(i); };
  for (size_t i = 0; i < n; i += 5) {
    const auto query = vec(i);
    auto hits = index.search_nearest(query, std::nullopt, std::nullopt,
                                     FilterBitset::unfiltered(), 10, nullptr);
    ASSERT_FALSE(hits.empty()) << "query " << i;
    for (auto& h : hits) {
      ASSERT_TRUE(h.id >= 1 && h.id <= n) << "query " << i;
      EXPECT_NEAR(h.score, cosine(query, current(static_cast<size_t>(h.id) - 1)), 1e-4)
          << "query " << i << " node " << static_cast<uint64_t>(h.id);
    }
  }
}

// The flat threshold is switched on and off while searches read it: both
// routes answer, and the sanitizer build sees no race.
TEST(HnswConcurrentTest, FlatThresholdFlipsBesideSearches) {
  HnswConfig cfg;
  cfg.metric = DistanceMetric::kEuclidean;
  cfg.flat_threshold = 1000;
  HnswIndex index(cfg, IndexBacking::in_memory());
  const auto data = testing::gaussian_vectors(200, kDim, 5);
  for (size_t i = 0; i < 200; ++i) {
    std::vector<float> v(data.begin() + i * kDim, data.begin() + (i + 1) * kDim);
    ASSERT_TRUE(index.add(i + 1, FilterBitset(), VectorRepr::f32(v), i).ok());
  }
  std::atomic<bool> stop{false};
  std::atomic<size_t> misses{0};
  std::vector<std::thread> searchers;
  for (int t = 0; t < 3; ++t) {
    searchers.emplace_back([&, t] {
      for (size_t k = 0; !stop.load(); ++k) {
        const size_t i = (k * 3 + t) % 200;
        std::vector<float> q(data.begin() + i * kDim, data.begin() + (i + 1) * kDim);
        auto hits = index.search_nearest(q, std::nullopt, std::nullopt,
                                         FilterBitset::unfiltered(), 1, nullptr);
        if (hits.empty() || hits[0].id != i + 1) misses.fetch_add(1);
      }
    });
  }
  for (int flip = 0; flip < 2000; ++flip) {
    index.set_flat_threshold(flip % 2 ? std::optional<uint64_t>() : std::optional<uint64_t>(1000));
    EXPECT_EQ(index.flat_threshold().has_value(), flip % 2 == 0);
  }
  stop.store(true);
  for (auto& t : searchers) t.join();
  EXPECT_EQ(misses.load(), 0u);
}

}  // namespace
}  // namespace zv
