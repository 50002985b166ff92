#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>

#include "platform/fs.h"
#include "platform/log.h"
#include "platform/testing/temp_dir.h"
#include "src/index/adaptive_ef.h"
#include "src/index/hnsw_index.h"
#include "src/index/testing/index_fixture.h"
#include "src/runtime/hardware.h"

namespace zv {
namespace {

using testing::add_at;
using testing::euclidean_config;
using testing::ids_of;
using testing::make_index;

const float kNan = std::numeric_limits<float>::quiet_NaN();

TEST(ScoredCandidateTest, TotalOrder) {
  struct Case {
    ScoredCandidate a, b;
    bool a_better;
  };
  const Case cases[] = {
      {{1, 2.0f}, {2, 1.0f}, true},
      {{2, 1.0f}, {1, 2.0f}, false},
      {{5, 1.0f}, {3, 1.0f}, false},  // equal scores: smaller id first
      {{3, 1.0f}, {5, 1.0f}, true},
      {{9, 0.0f}, {1, -0.0f}, true},  // +0 before -0
      {{1, -1e30f}, {2, kNan}, true},  // NaN after every number
      {{2, kNan}, {1, -1e30f}, false},
      {{1, kNan}, {2, kNan}, true},    // two NaNs: smaller id first
      {{1, -std::numeric_limits<float>::infinity()}, {0, kNan}, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(better(c.a, c.b), c.a_better)
        << uint64_t(c.a.id) << " " << c.a.score << " vs " << uint64_t(c.b.id) << " " << c.b.score;
  }
}

TEST(HnswSearchTest, DispatchByFlatThresholdAndUnits) {
  // A point at distance 3: the flat scan reports -9, the graph search -3.
  struct Case {
    std::optional<uint64_t> threshold;
    size_t nodes;
    float want;
  };
  const Case cases[] = {{3, 3, -9.0f}, {3, 4, -3.0f}, {std::nullopt, 1, -3.0f}};
  for (const Case& c : cases) {
    auto index = make_index(euclidean_config(c.threshold));
    for (size_t i = 0; i < c.nodes; ++i) add_at(*index, i + 1, {3.0f + 10.0f * i, 0});
    auto hits = index->search_nearest(std::vector<float>{0, 0}, std::nullopt, std::nullopt,
                                      FilterBitset::unfiltered(), 1, nullptr);
    ASSERT_EQ(hits.size(), 1u) << c.nodes;
    EXPECT_EQ(hits[0].id, NodeId{1});
    EXPECT_FLOAT_EQ(hits[0].score, c.want) << c.nodes;
  }
}

TEST(HnswSearchTest, ZeroCosineQuery) {
  HnswConfig cfg;  // cosine, flat threshold 10000
  auto index = make_index(cfg);
  add_at(*index, 1, {1, 0});
  add_at(*index, 2, {0, 1});
  const std::vector<float> zero = {0, 0};
  log::CaptureSink sink(log::Level::kWarn);
  EXPECT_TRUE(index->search_nearest(zero, std::nullopt, std::nullopt, FilterBitset::unfiltered(),
                                    5, nullptr)
                  .empty());
  EXPECT_TRUE(sink.contains("zero-norm cosine query is undefined; returning no results"));
  auto flat = index->search_by_method(2, zero, FilterBitset::unfiltered(), 5,
                                      DistanceMetric::kCosine);
  ASSERT_TRUE(flat.ok());
  ASSERT_EQ(flat->size(), 2u);
  for (const auto& c : *flat) EXPECT_EQ(c.score, 0.0f);
}

TEST(HnswSearchTest, MethodDispatch) {
  HnswConfig cfg;  // cosine
  cfg.flat_threshold = std::nullopt;
  auto index = make_index(cfg);
  add_at(*index, 1, {1, 0});
  add_at(*index, 2, {0, 2});
  const std::vector<float> q = {0, 1};
  struct Case {
    uint8_t method;
    DistanceMetric metric;
    std::optional<std::string> error;
    float top_score;
  };
  const Case cases[] = {
      {1, DistanceMetric::kEuclidean,
       "Invalid input: distance_metric Euclidean requested but the ivf backend is metric-bound to "
       "the configured metric Cosine (built at lazy-cache time). Use method=hnsw or method=flat "
       "for a per-request metric, or configure the engine with Euclidean",
       0},
      {4, DistanceMetric::kEuclidean,
       "Invalid input: distance_metric Euclidean requested but the scann backend is metric-bound "
       "to the configured metric Cosine (built at lazy-cache time). Use method=hnsw or "
       "method=flat for a per-request metric, or configure the engine with Euclidean",
       0},
      {1, DistanceMetric::kCosine, std::nullopt, 1.0f},
      {4, DistanceMetric::kCosine, std::nullopt, 1.0f},
      {2, DistanceMetric::kEuclidean, std::nullopt, -1.0f},  // flat: squared distance
      {0, DistanceMetric::kEuclidean, std::nullopt, -1.0f},  // graph: distance
      {3, DistanceMetric::kCosine, std::nullopt, 1.0f},
  };
  for (const Case& c : cases) {
    auto r = index->search_by_method(c.method, q, FilterBitset::unfiltered(), 1, c.metric);
    ASSERT_EQ(r.ok(), !c.error) << int(c.method);
    if (c.error) {
      EXPECT_EQ(r.error().message(), *c.error);
      continue;
    }
    ASSERT_EQ(r->size(), 1u) << int(c.method);
    EXPECT_EQ((*r)[0].id, NodeId{2}) << int(c.method);
    EXPECT_FLOAT_EQ((*r)[0].score, c.top_score) << int(c.method);
  }
}

TEST(HnswSearchTest, ConfiguredAlternativeKindKeepsItsMetric) {
  HnswConfig cfg;  // cosine
  cfg.index_type = static_cast<uint8_t>(IndexKind::kIvf);
  auto index = make_index(cfg);
  add_at(*index, 1, {3, 4});
  auto hits = index->search_nearest_with_metric(std::vector<float>{3, 4},
                                                FilterBitset::unfiltered(), 1, nullptr,
                                                DistanceMetric::kEuclidean);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_FLOAT_EQ(hits[0].score, 1.0f) << "cosine score, not a distance";
}

TEST(HnswSearchTest, FiltersOnEveryPath) {
  // Node i carries filter words {i}; filters select by their bits.
  struct Case {
    const char* name;
    std::vector<uint64_t> filter;
    std::vector<NodeId> want;  // ascending
  };
  const Case cases[] = {
      {"one all-ones word filters nothing", {~0ull}, {1, 2, 3, 4, 5, 6, 7}},
      {"two all-ones words", {~0ull, ~0ull}, {}},
      {"bits 0 and 2", {0b101}, {5, 7}},
      {"bit 2", {0b100}, {4, 5, 6, 7}},
      {"empty filter", {}, {1, 2, 3, 4, 5, 6, 7}},
      {"second word", {0, 1}, {}},
  };
  for (std::optional<uint64_t> threshold : {std::optional<uint64_t>(1000), std::optional<uint64_t>()}) {
    auto index = make_index(euclidean_config(threshold));
    for (NodeId id = 1; id <= 7; ++id)
      add_at(*index, id, {float(id), float(id % 3)}, 0, FilterBitset({uint64_t(id)}));
    for (const Case& c : cases) {
      auto hits = index->search_nearest(std::vector<float>{0, 0}, std::nullopt, std::nullopt,
                                        FilterBitset(c.filter), 10, nullptr);
      auto got = ids_of(hits);
      std::sort(got.begin(), got.end());
      EXPECT_EQ(got, c.want) << c.name << (threshold ? " flat" : " graph");
    }
  }
}

TEST(HnswSearchTest, EqualScoresComeBackInIdOrder) {
  auto index = make_index(euclidean_config());
  for (NodeId id : {9, 4, 7, 1}) add_at(*index, id, {id % 2 ? 1.0f : -1.0f, 0});
  auto hits = index->search_nearest(std::vector<float>{0, 0}, std::nullopt, std::nullopt,
                                    FilterBitset::unfiltered(), 4, nullptr);
  EXPECT_EQ(ids_of(hits), (std::vector<NodeId>{1, 4, 7, 9}));
}

TEST(HnswSearchTest, IncomparableVectorsAreNeverRanked) {
  // Under Euclidean an incomparable pair used to score 0, the best score.
  for (std::optional<uint64_t> threshold : {std::optional<uint64_t>(1000), std::optional<uint64_t>()}) {
    auto index = make_index(euclidean_config(threshold));
    for (NodeId id = 1; id <= 30; ++id) add_at(*index, id, {float(id), 1, 2, 3});
    add_at(*index, 100, {0, 1, 2});  // another length
    ASSERT_TRUE(index->add(101, FilterBitset(), VectorRepr::binary({1}), 0).ok());
    ASSERT_TRUE(index->add(102, FilterBitset(), VectorRepr::turbo({1}), 0).ok());
    ASSERT_TRUE(index->add(103, FilterBitset(), VectorRepr::mmap_full(std::nullopt), 0).ok());
    ASSERT_TRUE(index->add(104, FilterBitset(), VectorRepr::sq8(1, {1, 2, 3}), 0).ok());
    ASSERT_TRUE(index->add(105, FilterBitset(), VectorRepr::none(), 0).ok());
    const std::vector<float> q = {100, 1, 2, 3};
    for (uint8_t method : {0, 1, 2, 4}) {
      auto r = index->search_by_method(method, q, FilterBitset::unfiltered(), 50,
                                       DistanceMetric::kEuclidean);
      ASSERT_TRUE(r.ok());
      EXPECT_EQ(r->size(), 30u) << int(method);
      for (const auto& c : *r) EXPECT_LE(c.id, NodeId{30}) << int(method);
      EXPECT_EQ((*r)[0].id, NodeId{30}) << int(method);
    }
  }
}

TEST(HnswSearchTest, CosineAndEuclideanFlatScores) {
  auto index = make_index(euclidean_config(1000));
  add_at(*index, 1, {1, 0});
  add_at(*index, 2, {0, 1});
  auto cos = index->flat_search(std::vector<float>{1, 0}, FilterBitset::unfiltered(), 10,
                                DistanceMetric::kCosine);
  ASSERT_EQ(cos.size(), 2u);
  EXPECT_EQ(cos[0], (ScoredCandidate{1, 1.0f}));
  EXPECT_EQ(cos[1], (ScoredCandidate{2, 0.0f}));
  auto euc = index->flat_search(std::vector<float>{1, 2}, FilterBitset::unfiltered(), 1,
                                DistanceMetric::kEuclidean);
  ASSERT_EQ(euc.size(), 1u);
  EXPECT_EQ(euc[0], (ScoredCandidate{2, -2.0f}));
}

TEST(HnswSearchLayerTest, EdgeCases) {
  auto index = make_index(euclidean_config());
  for (NodeId id = 1; id <= 6; ++id) add_at(*index, id, {float(id), 0});
  const std::vector<float> q = {6, 0};
  const LayerQuery qp = LayerQuery::for_metric(F32View(q), DistanceMetric::kEuclidean);
  VisitedSet visited;
  auto run = [&](std::vector<NodeId> entry, uint64_t ef, const FilterBitset& filter) {
    visited.clear();
    auto r = index->search_layer(qp, entry, ef, 0, filter, false, nullptr,
                                 DistanceMetric::kEuclidean, visited);
    std::sort(r.begin(), r.end(), BestFirst{});
    return r;
  };
  const FilterBitset& all = FilterBitset::unfiltered();
  EXPECT_TRUE(run({77, 78}, 3, all).empty()) << "entries without records";
  auto one = run({1}, 1, all);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].id, NodeId{6});
  auto none = run({1}, 3, FilterBitset({0, 1}));
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(visited.size(), 6u) << "a filter nothing passes walks the whole layer";
  auto zero = run({1, 2}, 0, all);
  EXPECT_EQ(zero.size(), 2u) << "ef 0 keeps what the entry phase put in";
}

// A vector store in memory: 64-byte headers at offsets, vectors anywhere.
class FakeStore final : public DiskNodeReader {
 public:
  explicit FakeStore(size_t size) : bytes_(size, 0) {}
  void put(uint64_t offset, uint64_t data_offset, std::vector<float> v, uint32_t flags = 0) {
    headers_[offset] = DiskNodeHeader{data_offset, uint32_t(v.size()), flags | (1u << 10)};
    std::memcpy(bytes_.data() + data_offset, v.data(), v.size() * 4);
  }
  void raw_header(uint64_t offset, DiskNodeHeader h) { headers_[offset] = h; }
  std::optional<DiskNodeHeader> disk_node_header_at(uint64_t offset) const override {
    auto it = headers_.find(offset);
    if (it == headers_.end()) return std::nullopt;
    return it->second;
  }
  std::span<const uint8_t> bytes() const override { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  std::map<uint64_t, DiskNodeHeader> headers_;
};

TEST(HnswSearchTest, StoreReaderPath) {
  HnswConfig cfg = euclidean_config();
  auto index = make_index(cfg);
  // Records hold decoys (on a circle, so that the graph is a ring and the
  // node the store skips does not cut it); the store holds the values that
  // count.
  for (NodeId id = 1; id <= 5; ++id) {
    const float a = 1.2566371f * static_cast<float>(id);
    add_at(*index, id, {50.0f * std::cos(a), 50.0f * std::sin(a)});
  }
  FakeStore store(4096);
  store.put(1, 1001, {1, 0});                    // misaligned: read in place
  store.put(2, 2000, {2, 0});
  store.put(3, 3000, {0.5f, 0}, DiskNodeHeader::kDeletedFlag);  // deleted in the store
  // 4 has no header: skipped. 5's values lie past the store: its record counts.
  store.raw_header(5, DiskNodeHeader{4090, 2, 1u << 10});
  auto hits = index->search_nearest(std::vector<float>{0, 0}, std::nullopt, std::nullopt,
                                    FilterBitset::unfiltered(), 10, &store);
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[0], (ScoredCandidate{1, -1.0f}));
  EXPECT_EQ(hits[1], (ScoredCandidate{2, -2.0f}));
  EXPECT_EQ(hits[2].id, 5u);
  EXPECT_NEAR(hits[2].score, -50.0f, 1e-3f);
}

// A store over a real mapping, so that prefetch requests reach the OS.
class MappedStore final : public DiskNodeReader {
 public:
  explicit MappedStore(std::shared_ptr<MemoryMap> map) : map_(std::move(map)) {}
  std::optional<DiskNodeHeader> disk_node_header_at(uint64_t offset) const override {
    return DiskNodeHeader{offset * 64, 4, 1u << 10};
  }
  std::span<const uint8_t> bytes() const override { return {map_->data(), map_->size()}; }
  const MemoryMap* mapping() const override { return map_.get(); }

 private:
  std::shared_ptr<MemoryMap> map_;
};

TEST(HnswSearchTest, PrefetchingReaderGivesTheSameResults) {
  testing::TempDir dir;
  const std::string path = fs::join(dir.path(), "store.bin");
  std::string bytes(200 * 64, '\0');
  auto index = make_index(euclidean_config());
  for (NodeId id = 1; id <= 200; ++id) {
    const float v[4] = {float(id % 17), float(id % 5), float(id / 10), 1};
    std::memcpy(bytes.data() + id * 64 - 64 + 64 * 0, v, 16);
    std::memmove(bytes.data() + (id - 1) * 64, v, 16);
    ASSERT_TRUE(index->add_at_level(id, FilterBitset(), VectorRepr::f32({v, v + 4}), id - 1, 0).ok());
  }
  ASSERT_TRUE(fs::write_file(path, bytes).ok());
  auto file = File::open_read(path);
  ASSERT_TRUE(file.ok());
  auto map = MemoryMap::map_file(*file, false);
  ASSERT_TRUE(map.ok());
  MappedStore store(std::make_shared<MemoryMap>(std::move(*map)));
  init_global_prefetch_mode(PrefetchMode::kEnabled);
  const std::vector<float> q = {3, 2, 7, 1};
  auto with = index->search_nearest(q, std::nullopt, std::nullopt, FilterBitset::unfiltered(), 5,
                                    &store);
  auto without = index->search_nearest(q, std::nullopt, std::nullopt, FilterBitset::unfiltered(),
                                       5, nullptr);
  EXPECT_EQ(ids_of(with), ids_of(without));
}

TEST(AdaptiveEfTest, Rule) {
  reset_adaptive_ef();
  EXPECT_EQ(adaptive_ef(), 50u);
  record_adaptive_search(false);
  EXPECT_EQ(adaptive_ef(), 75u);
  for (int i = 0; i < 11; ++i) record_adaptive_search(true);  // halves after the 11th
  EXPECT_EQ(adaptive_ef(), 37u);
  for (int i = 0; i < 100; ++i) record_adaptive_search(true);
  EXPECT_EQ(adaptive_ef(), 10u);
  for (int i = 0; i < 30; ++i) record_adaptive_search(false);
  EXPECT_EQ(adaptive_ef(), 2000u);
  reset_adaptive_ef();
}

}  // namespace
}  // namespace zv
