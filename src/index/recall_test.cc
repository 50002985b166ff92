#include <gtest/gtest.h>

#include <deque>
#include <unordered_set>

#include "src/index/hnsw_index.h"
#include "src/index/testing/vector_data.h"

namespace zv {
namespace {

constexpr size_t kDim = 128;
constexpr size_t kNodes = 20000;
constexpr size_t kQueries = 200;
constexpr size_t kSelfQueries = 1000;

std::span<const float> row(const std::vector<float>& data, size_t i) {
  return std::span<const float>(data).subspan(i * kDim, kDim);
}

std::unique_ptr<HnswIndex> build(const std::vector<float>& data, HnswConfig cfg) {
  auto index = std::make_unique<HnswIndex>(cfg, IndexBacking::in_memory());
  for (size_t i = 0; i < data.size() / kDim; ++i) {
    auto r = index->add(NodeId{i + 1}, FilterBitset(), VectorRepr::f32(std::vector<float>(
                                                           row(data, i).begin(), row(data, i).end())),
                        i);
    EXPECT_TRUE(r.ok()) << i;
  }
  return index;
}

double recall_at_10(const HnswIndex& index, const std::vector<float>& queries) {
  size_t hits = 0, total = 0;
  const FilterBitset& all = FilterBitset::unfiltered();
  for (size_t i = 0; i < queries.size() / kDim; ++i) {
    auto exact = index.search_by_method(2, row(queries, i), all, 10, index.metric());
    auto got = index.search_nearest(row(queries, i), std::nullopt, std::nullopt, all, 10, nullptr);
    std::unordered_set<NodeId, NodeIdHash> truth;
    for (auto& c : *exact) truth.insert(c.id);
    for (auto& c : got) hits += truth.count(c.id);
    total += truth.size();
  }
  return static_cast<double>(hits) / static_cast<double>(total);
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

bool optimised_build() {
#if defined(__OPTIMIZE__)
  return true;
#else
  return false;
#endif
}

TEST(RecallTest, ClusteredCosineAndEuclidean) {
  if (!optimised_build()) GTEST_SKIP() << "recall runs in the optimised build only";
  const auto data = testing::clustered_vectors(kNodes, kDim, 100, 0.1f, 42, 1);
  const auto queries = testing::clustered_vectors(kQueries, kDim, 100, 0.1f, 42, 2);
  for (DistanceMetric metric : {DistanceMetric::kCosine, DistanceMetric::kEuclidean}) {
    HnswConfig cfg;
    cfg.metric = metric;
    auto index = build(data, cfg);
    const std::string name(metric_name(metric));
    EXPECT_EQ(reachable_on_layer0(*index), kNodes) << name;
    EXPECT_GE(recall_at_10(*index, queries), 0.95) << name;
    size_t first = 0;
    const FilterBitset& all = FilterBitset::unfiltered();
    for (size_t i = 0; i < kSelfQueries; ++i) {
      const size_t pick = i * (kNodes / kSelfQueries);
      auto got = index->search_nearest(row(data, pick), std::nullopt, std::nullopt, all, 10,
                                       nullptr);
      first += !got.empty() && got[0].id == NodeId{pick + 1};
    }
    EXPECT_EQ(first, kSelfQueries) << name;
    EXPECT_FALSE(index->integrity_violations()) << name;
  }
}

TEST(RecallTest, GaussianAtWideSearch) {
  if (!optimised_build()) GTEST_SKIP() << "recall runs in the optimised build only";
  const auto data = testing::gaussian_vectors(kNodes, kDim, 7);
  const auto queries = testing::gaussian_vectors(kQueries, kDim, 8);
  HnswConfig cfg;
  cfg.metric = DistanceMetric::kEuclidean;
  cfg.ef_search = 200;
  auto index = build(data, cfg);
  EXPECT_GE(recall_at_10(*index, queries), 0.95);
}

}  // namespace
}  // namespace zv
