#include <gtest/gtest.h>

#include <algorithm>
#include <unordered_set>

#include "src/index/index_file.h"
#include "src/index/ivf_index.h"
#include "src/index/kmeans.h"
#include "src/index/scann_index.h"
#include "src/index/testing/index_fixture.h"
#include "src/index/testing/vector_data.h"

namespace zv {
namespace {

using testing::add_at;

std::span<const uint8_t> bytes_of(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

NearestResult by_method(const HnswIndex& index, IndexKind kind, std::vector<float> q,
                        uint64_t k) {
  auto r = index.search_by_method(static_cast<uint8_t>(kind), q, FilterBitset::unfiltered(), k,
                                  index.metric());
  EXPECT_TRUE(r.ok());
  return r.ok() ? *r : NearestResult{};
}

TEST(AlternateCacheTest, RemoveAndAddOfOneIdIsNeverServedStale) {
  for (IndexKind kind : {IndexKind::kIvf, IndexKind::kScann}) {
    auto index = testing::make_index(testing::euclidean_config());
    for (NodeId i = 1; i <= 30; ++i) add_at(*index, i, {float(i), 0.0f});
    ASSERT_EQ(by_method(*index, kind, {5, 0}, 1)[0].id, 5u);
    // Same node count before and after: only the mutation count tells.
    ASSERT_TRUE(index->remove(5));
    add_at(*index, 5, {1000, 0});
    for (const auto& c : by_method(*index, kind, {5, 0}, 3)) EXPECT_NE(c.id, 5u) << int(kind);
    auto far = by_method(*index, kind, {1000, 0}, 1);
    ASSERT_EQ(far.size(), 1u);
    EXPECT_EQ(far[0].id, 5u);
    EXPECT_NEAR(far[0].score, 0.0f, 1.0f);
    // A vector replaced in place is seen too.
    add_at(*index, 6, {-500, 0});
    auto moved = by_method(*index, kind, {-500, 0}, 1);
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(moved[0].id, 6u);
    ASSERT_TRUE(index->remove(7));
    for (const auto& c : by_method(*index, kind, {7, 0}, 30)) EXPECT_NE(c.id, 7u);
  }
}

TEST(AlternateCacheTest, ConfiguredKindsRouteToTheirCaches) {
  for (IndexKind kind : {IndexKind::kIvf, IndexKind::kScann}) {
    HnswConfig cfg = testing::euclidean_config();
    cfg.index_type = static_cast<uint8_t>(kind);
    // A vector of another length (incomparable with the queries), in the
    // lowest slot or the last: the others are all served either way.
    for (bool stray_first : {true, false}) {
      auto index = testing::make_index(cfg);
      if (stray_first) add_at(*index, 41, {1, 2, 3});
      for (NodeId i = 1; i <= 40; ++i) add_at(*index, i, {float(i), float(i % 4)});
      if (!stray_first) add_at(*index, 41, {1, 2, 3});
      auto hits = index->search_nearest(std::vector<float>{10, 2}, std::nullopt, std::nullopt,
                                        FilterBitset::unfiltered(), 41, nullptr);
      EXPECT_EQ(hits.size(), 40u) << int(kind) << " stray first " << stray_first;
      ASSERT_FALSE(hits.empty());
      EXPECT_EQ(hits[0].id, 10u);
      for (const auto& h : hits) EXPECT_NE(h.id, 41u);
    }
  }
}

TEST(AlternateCacheTest, LoadedIvfIndexCountsAsFresh) {
  HnswConfig cfg = testing::euclidean_config();
  cfg.index_type = static_cast<uint8_t>(IndexKind::kIvf);
  auto index = testing::make_index(cfg);
  for (NodeId i = 1; i <= 20; ++i) add_at(*index, i, {float(i), 1.0f});
  const std::string plain = *serialize_index(*index);
  // A blob whose entry for node 3 says {100, 100}: served only if the
  // loaded IVF index is used as it is, without a retrain.
  std::vector<IvfEntry> entries;
  for (NodeId i = 1; i <= 20; ++i)
    entries.push_back({i, {}, i == 3 ? std::vector<float>{100, 100} : std::vector<float>{float(i), 1}});
  IvfIndex marked = IvfIndex::build(entries, 5, 10, DistanceMetric::kEuclidean);
  std::string blob;
  marked.encode_to(&blob);
  std::string file = plain.substr(0, plain.size() - 1);
  file.push_back('\1');
  for (int i = 0; i < 8; ++i) file.push_back(static_cast<char>(uint64_t{blob.size()} >> (8 * i)));
  file += blob;
  auto loaded = deserialize_index(bytes_of(file));
  ASSERT_TRUE(loaded.ok()) << loaded.error().message();
  auto hits = (*loaded)->search_nearest(std::vector<float>{100, 100}, std::nullopt, std::nullopt,
                                        FilterBitset::unfiltered(), 1, nullptr);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].id, 3u);
  EXPECT_EQ(hits[0].score, 0.0f);
  // Written back unchanged while current.
  EXPECT_EQ(serialize_index(**loaded)->substr(plain.size() - 1 + 9), blob);
  // The first change makes it stale: rebuilt from the nodes.
  add_at(**loaded, 21, {21, 1});
  hits = (*loaded)->search_nearest(std::vector<float>{100, 100}, std::nullopt, std::nullopt,
                                   FilterBitset::unfiltered(), 1, nullptr);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].id, 21u);
}

bool optimised_build() {
#if defined(__OPTIMIZE__)
  return true;
#else
  return false;
#endif
}

// Exact top 10 of a query under the metric.
std::unordered_set<NodeId, NodeIdHash> truth(const std::vector<IvfEntry>& e,
                                             std::span<const float> q, DistanceMetric m) {
  std::vector<ScoredCandidate> all;
  for (const IvfEntry& x : e) all.push_back({x.id, ivf_score(q, x.vector, m)});
  std::partial_sort(all.begin(), all.begin() + 10, all.end(), BestFirst{});
  std::unordered_set<NodeId, NodeIdHash> out;
  for (size_t i = 0; i < 10; ++i) out.insert(all[i].id);
  return out;
}

TEST(AlternateRecallTest, IvfAndScannOnClusteredData) {
  if (!optimised_build()) GTEST_SKIP() << "recall runs in the optimised build only";
  constexpr size_t kDim = 128, kNodes = 20000, kQueries = 100;
  const auto data = testing::clustered_vectors(kNodes, kDim, 100, 0.1f, 42, 1);
  const auto queries = testing::clustered_vectors(kQueries, kDim, 100, 0.1f, 42, 2);
  std::vector<IvfEntry> entries;
  for (size_t i = 0; i < kNodes; ++i)
    entries.push_back({NodeId{i + 1}, {},
                       std::vector<float>(data.begin() + i * kDim, data.begin() + (i + 1) * kDim)});
  // The caches' parameters: floor(sqrt(n)) + 1 lists, 10 probes, rerank 10.
  const uint64_t nlist = static_cast<uint64_t>(std::sqrt(double(kNodes))) + 1;
  for (DistanceMetric m : {DistanceMetric::kCosine, DistanceMetric::kEuclidean}) {
    IvfIndex ivf = IvfIndex::build(entries, nlist, IvfIndex::kDefaultNprobe, m);
    ScannIndex::Builder b(ScannIndex::kDefaultRerank, m);
    for (const IvfEntry& e : entries) ASSERT_TRUE(b.add(e.id, {}, VectorRepr::f32(e.vector), 0).ok());
    ScannIndex scann = std::move(b).finish();
    size_t ivf_hits = 0, scann_hits = 0;
    for (size_t i = 0; i < kQueries; ++i) {
      std::span<const float> q(queries.data() + i * kDim, kDim);
      const auto want = truth(entries, q, m);
      for (const auto& c : ivf.search(q, 10, FilterBitset::unfiltered())) ivf_hits += want.count(c.id);
      for (const auto& c : scann.search(q, FilterBitset::unfiltered(), 10))
        scann_hits += want.count(c.id);
    }
    const double ivf_recall = double(ivf_hits) / (10.0 * kQueries);
    const double scann_recall = double(scann_hits) / (10.0 * kQueries);
    EXPECT_GE(ivf_recall, 0.9) << metric_name(m);
    EXPECT_GE(scann_recall, 0.9) << metric_name(m);
    RecordProperty(std::string(metric_name(m)) + "_ivf", std::to_string(ivf_recall));
    RecordProperty(std::string(metric_name(m)) + "_scann", std::to_string(scann_recall));
  }
}

}  // namespace
}  // namespace zv
