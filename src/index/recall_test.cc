#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <numeric>
#include <random>
#include <thread>
#include <unordered_set>

#include "src/index/hnsw_index.h"
#include "src/index/testing/vector_data.h"

namespace zv {
namespace {

constexpr size_t kRecallDim = 128;
constexpr size_t kNodes = 20000;
constexpr size_t kClusters = 100;
constexpr size_t kQueries = 200;

std::span<const float> row(const std::vector<float>& data, size_t i, size_t dim = kRecallDim) {
  return std::span<const float>(data).subspan(i * dim, dim);
}

// Inserts row order[k] as node order[k] + 1, for k in order.
std::unique_ptr<HnswIndex> build(const std::vector<float>& data, const std::vector<size_t>& order,
                                 HnswConfig cfg, size_t dim = kRecallDim) {
  auto index = std::make_unique<HnswIndex>(cfg, IndexBacking::in_memory());
  for (size_t i : order) {
    auto v = row(data, i, dim);
    auto r = index->add(NodeId{i + 1}, FilterBitset(),
                        VectorRepr::f32(std::vector<float>(v.begin(), v.end())), i);
    EXPECT_TRUE(r.ok()) << i;
  }
  return index;
}

double recall_at_10(const HnswIndex& index, const std::vector<float>& queries) {
  size_t hits = 0, total = 0;
  const FilterBitset& all = FilterBitset::unfiltered();
  for (size_t i = 0; i < queries.size() / kRecallDim; ++i) {
    auto exact = index.search_by_method(2, row(queries, i), all, 10, index.metric());
    auto got = index.search_nearest(row(queries, i), std::nullopt, std::nullopt, all, 10, nullptr);
    std::unordered_set<NodeId, NodeIdHash> truth;
    for (auto& c : *exact) truth.insert(c.id);
    for (auto& c : got) hits += truth.count(c.id);
    total += truth.size();
  }
  return static_cast<double>(hits) / static_cast<double>(total);
}

// Stored vectors that are not the first hit for their own value.
size_t not_first_for_own_value(const HnswIndex& index, const std::vector<float>& data,
                               size_t dim = kRecallDim) {
  size_t missed = 0;
  const FilterBitset& all = FilterBitset::unfiltered();
  for (size_t i = 0; i < data.size() / dim; ++i) {
    auto got = index.search_nearest(row(data, i, dim), std::nullopt, std::nullopt, all, 10, nullptr);
    missed += got.empty() || got[0].id != NodeId{i + 1};
  }
  return missed;
}

// Nodes reachable on layer 0 from the entry point over the lists a search reads.
size_t reachable_on_layer0(const HnswIndex& index) {
  std::unordered_set<NodeId, NodeIdHash> seen;
  std::deque<NodeId> queue;
  auto ep = index.entry_point();
  if (!ep) return 0;
  seen.insert(*ep);
  queue.push_back(*ep);
  while (!queue.empty()) {
    NodeId id = queue.front();
    queue.pop_front();
    auto list = index.node_layer_neighbors(id, 0);
    if (list.empty()) list = index.neighbors(id, 0);
    for (NodeId n : list)
      if (seen.insert(n).second) queue.push_back(n);
  }
  return seen.size();
}

std::vector<size_t> shuffled(size_t n, uint64_t seed) {
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), 0);
  std::mt19937_64 rng(seed);
  std::shuffle(order.begin(), order.end(), rng);
  return order;
}

// Point i belongs to cluster i % clusters: round robin is the identity,
// cluster by cluster inserts every point of cluster 0, then of 1, ...
std::vector<size_t> cluster_by_cluster(size_t n, size_t clusters) {
  std::vector<size_t> order;
  for (size_t c = 0; c < clusters; ++c)
    for (size_t i = c; i < n; i += clusters) order.push_back(i);
  return order;
}

bool optimised_build() {
#if defined(__OPTIMIZE__)
  return true;
#else
  return false;
#endif
}

// Runs f(0..n-1) on up to four threads.
template <class F>
void in_parallel(size_t n, F f) {
  std::atomic<size_t> next{0};
  std::vector<std::thread> threads;
  for (size_t t = 0; t < std::min<size_t>(4, n); ++t) {
    threads.emplace_back([&] {
      for (size_t i; (i = next.fetch_add(1)) < n;) f(i);
    });
  }
  for (auto& t : threads) t.join();
}

// Every stored vector is found first for its own value whatever the order of
// insertion, under both metrics, and held-out queries keep their recall.
TEST(RecallTest, ClusteredEveryVectorFoundInEveryOrder) {
  if (!optimised_build()) GTEST_SKIP() << "recall runs in the optimised build only";
  const auto data = testing::clustered_vectors(kNodes, kRecallDim, kClusters, 0.1f, 42, 1);
  const auto queries = testing::clustered_vectors(kQueries, kRecallDim, kClusters, 0.1f, 42, 2);
  struct Run {
    DistanceMetric metric;
    std::string order_name;
    std::vector<size_t> order;
  };
  std::vector<Run> runs;
  for (DistanceMetric metric : {DistanceMetric::kCosine, DistanceMetric::kEuclidean}) {
    std::vector<size_t> round_robin(kNodes);
    std::iota(round_robin.begin(), round_robin.end(), 0);
    runs.push_back({metric, "round robin", round_robin});
    runs.push_back({metric, "cluster by cluster", cluster_by_cluster(kNodes, kClusters)});
    for (uint64_t seed = 1; seed <= 6; ++seed)
      runs.push_back({metric, "shuffle " + std::to_string(seed), shuffled(kNodes, seed)});
  }
  struct Outcome {
    size_t reachable = 0, missed = 0;
    double recall = 0;
    bool intact = false;
  };
  std::vector<Outcome> outcomes(runs.size());
  in_parallel(runs.size(), [&](size_t r) {
    HnswConfig cfg;
    cfg.metric = runs[r].metric;
    auto index = build(data, runs[r].order, cfg);
    outcomes[r] = {reachable_on_layer0(*index), not_first_for_own_value(*index, data),
                   recall_at_10(*index, queries), !index->integrity_violations()};
  });
  for (size_t r = 0; r < runs.size(); ++r) {
    const std::string name =
        std::string(metric_name(runs[r].metric)) + ", " + runs[r].order_name;
    EXPECT_EQ(outcomes[r].reachable, kNodes) << name;
    // Under the Euclidean metric, inserted cluster by cluster, one late
    // cluster can still be left out of the routes the descent takes (its
    // vectors land in a neighbouring cluster); every other run finds all.
    if (runs[r].metric == DistanceMetric::kEuclidean) {
      EXPECT_LE(outcomes[r].missed, kNodes / 100) << name;
    } else {
      EXPECT_EQ(outcomes[r].missed, 0u) << name;
    }
    EXPECT_GE(outcomes[r].recall, 0.95) << name;
    EXPECT_TRUE(outcomes[r].intact) << name;
  }
}

// A small set whose shuffle once left nodes unfindable, and 200 other
// shuffles of it.
TEST(RecallTest, SmallClusteredSetInManyShuffles) {
  if (!optimised_build()) GTEST_SKIP() << "recall runs in the optimised build only";
  constexpr size_t kSmall = 960;
  const auto data = testing::clustered_vectors(kSmall, kRecallDim, 12, 0.1f, 42, 1);
  std::vector<size_t> seeds = {13};
  for (uint64_t s = 1000; s < 1200; ++s) seeds.push_back(s);
  std::vector<size_t> missed(seeds.size());
  in_parallel(seeds.size(), [&](size_t k) {
    HnswConfig cfg;
    cfg.flat_threshold = std::nullopt;  // the graph, not the exact scan
    auto index = build(data, shuffled(kSmall, seeds[k]), cfg);
    missed[k] = not_first_for_own_value(*index, data);
  });
  for (size_t k = 0; k < seeds.size(); ++k) EXPECT_EQ(missed[k], 0u) << "seed " << seeds[k];
}

// Ten builds by eight threads each: every node reachable, nearly every
// stored vector first for its own value.
TEST(RecallTest, ConcurrentBuildsLeaveNoIslands) {
  if (!optimised_build()) GTEST_SKIP() << "recall runs in the optimised build only";
  const auto data = testing::clustered_vectors(kNodes, kRecallDim, kClusters, 0.1f, 42, 1);
  const auto order = shuffled(kNodes, 77);
  for (int build_no = 0; build_no < 10; ++build_no) {
    HnswConfig cfg;
    auto index = std::make_unique<HnswIndex>(cfg, IndexBacking::in_memory());
    std::atomic<size_t> next{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&] {
        for (size_t k; (k = next.fetch_add(1)) < kNodes;) {
          const size_t i = order[k];
          auto v = row(data, i);
          (void)index->add(NodeId{i + 1}, FilterBitset(),
                           VectorRepr::f32(std::vector<float>(v.begin(), v.end())), i);
        }
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(reachable_on_layer0(*index), kNodes) << "build " << build_no;
    EXPECT_LE(not_first_for_own_value(*index, data), kNodes / 1000) << "build " << build_no;
  }
}

TEST(RecallTest, GaussianAtWideSearch) {
  if (!optimised_build()) GTEST_SKIP() << "recall runs in the optimised build only";
  const auto data = testing::gaussian_vectors(kNodes, kRecallDim, 7);
  const auto queries = testing::gaussian_vectors(kQueries, kRecallDim, 8);
  HnswConfig cfg;
  cfg.metric = DistanceMetric::kEuclidean;
  cfg.ef_search = 200;
  std::vector<size_t> order(kNodes);
  std::iota(order.begin(), order.end(), 0);
  auto index = build(data, order, cfg);
  EXPECT_GE(recall_at_10(*index, queries), 0.95);
}

}  // namespace
}  // namespace zv
