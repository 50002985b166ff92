#include "src/search/dense_stage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "src/record/datetime.h"
#include "src/record/node_key.h"
#include "src/search/hit_order.h"
#include "src/search/testing/counting_allocator.h"
#include "src/search/testing/hits.h"
#include "src/search/testing/vector_records.h"
#include "src/storage/shred_record.h"

namespace zv::search {
namespace {

using search_testing::AllocationScope;
using search_testing::fields;
using search_testing::IndexCall;
using search_testing::keys_of;
using search_testing::vector_record;
using search_testing::VectorFixture;

using Vec = std::vector<float>;

std::vector<SearchHit> run(VectorFixture& f, std::string_view ns, const Vec& q,
                           const FieldMap& filters, uint64_t c,
                           DistanceMetric metric = DistanceMetric::kCosine, uint8_t method = 0) {
  auto r = dense_candidates(f.engine(), ns, q, filters, c, metric, method);
  EXPECT_TRUE(r.ok()) << r.error().message();
  return r.ok() ? std::move(*r) : std::vector<SearchHit>{};
}

std::vector<float> scores_of(const std::vector<SearchHit>& hits) {
  std::vector<float> out;
  for (const SearchHit& h : hits) out.push_back(h.score);
  return out;
}

Vec random_vec(std::mt19937& rng, size_t d = 4) {
  std::normal_distribution<float> n(0.0f, 1.0f);
  Vec v(d);
  for (float& x : v) x = n(rng);
  return v;
}

void put_random(VectorFixture& f, std::string_view ns, int count, uint32_t seed) {
  std::mt19937 rng(seed);
  for (int i = 0; i < count; ++i) {
    f.records.put(vector_record(std::string(ns), "k" + std::to_string(1000 + i), random_vec(rng)));
  }
}

TEST(DenseStage, FetchCountsAndMethods) {
  VectorFixture f;
  put_random(f, "ns", 30, 1);
  const Vec q = {1, 0.5f, -0.25f, 0};
  f.index->set_reported_len(1000000);
  for (auto [c, asked] : std::vector<std::pair<uint64_t, uint64_t>>{{10, 100}, {60, 500}, {600, 600}}) {
    f.index->clear_calls();
    EXPECT_EQ(run(f, "ns", q, {}, c).size(), std::min<uint64_t>(c, 30));
    auto calls = f.index->calls();
    ASSERT_EQ(calls.size(), 1u) << c;
    EXPECT_EQ(calls[0].top_k, asked) << c;
    EXPECT_EQ(calls[0].filter_words, 1u);
  }
  // The fetch never exceeds what the loaded index holds.
  f.index->set_reported_len(std::nullopt);
  for (uint64_t c : {10u, 600u}) {
    f.index->clear_calls();
    run(f, "ns", q, {}, c);
    ASSERT_EQ(f.index->calls().size(), 1u);
    EXPECT_EQ(f.index->calls()[0].top_k, 30u);
  }
  f.index->clear_calls();
  run(f, "ns", q, {}, std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(f.index->calls().at(0).top_k, 30u);

  for (uint8_t method = 0; method <= 5; ++method) {
    f.index->clear_calls();
    auto r = dense_candidates(f.engine(), "ns", q, {}, 5, DistanceMetric::kCosine, method);
    ASSERT_TRUE(r.ok()) << int(method) << ": " << r.error().message();
    auto calls = f.index->calls();
    ASSERT_EQ(calls.size(), 1u);
    if (method == 5) {
      EXPECT_EQ(calls[0].kind, IndexCall::kNearestWithMetric);
    } else {
      EXPECT_EQ(calls[0].kind, IndexCall::kByMethod);
      EXPECT_EQ(calls[0].method, method);
    }
  }
  // An IVF search under another metric: the index's refusal, unchanged.
  auto refused = dense_candidates(f.engine(), "ns", q, {}, 5, DistanceMetric::kEuclidean, 1);
  ASSERT_FALSE(refused.ok());
  auto direct = f.index->search_by_method(1, q, FilterBitset::all_ones(), 5, DistanceMetric::kEuclidean);
  ASSERT_FALSE(direct.ok());
  EXPECT_EQ(refused.error().message(), direct.error().message());
}

TEST(DenseStage, EmptyQueryTakesNoEngine) {
  int taken = 0;
  EngineSource closed = [&]() -> ZolvaResult<std::shared_ptr<StorageEngine>> {
    ++taken;
    return make_unexpected(ZolvaError::not_initialized());
  };
  auto r = dense_candidates(closed, "ns", {}, {}, 10, DistanceMetric::kCosine, 0);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r->empty());
  EXPECT_EQ(taken, 0);
  const Vec q = {1.0f};
  EXPECT_FALSE(dense_candidates(closed, "ns", q, {}, 10, DistanceMetric::kCosine, 0).ok());
  EXPECT_EQ(taken, 1);
}

// Three records tagged x among a reported index of 600: an estimate of
// 0.005, the exact route.
struct ExactCase : ::testing::Test {
  VectorFixture f;
  const FieldMap tag = fields("tag", FieldValue::string("x"));
  ExactCase() {
    f.records.put(vector_record("ns", "k1", Vec{1, 0, 0, 0}, tag));
    f.records.put(vector_record("ns", "k2", Vec{0, 0, 0, 0}, tag), /*index_vector=*/false);
    f.records.put(vector_record("ns", "k3", Vec{1, 1}, tag), /*index_vector=*/false);
    f.records.put(vector_record("ns", "k4", Vec{4, 0, 0, 0}, tag));
    f.records.put(vector_record("ns", "k5", std::nullopt, tag));
    f.records.put(vector_record("ns", "k6", Vec{1, 0, 0, 0}, fields("tag", FieldValue::string("y"))));
    f.records.put(vector_record("other", "k7", Vec{1, 0, 0, 0}, tag));
    f.index->set_reported_len(1200);  // 6 tagged records of 1200
    EXPECT_EQ(filter_selectivity(f.engine(), tag), 0.005f);
  }
};

TEST_F(ExactCase, ScoresByMetric) {
  const Vec q = {1, 0, 0, 0};
  auto euclid = run(f, "ns", q, tag, 10, DistanceMetric::kEuclidean);
  EXPECT_EQ(keys_of(euclid), (std::vector<std::string>{"k1", "k2", "k4"}));
  EXPECT_EQ(scores_of(euclid), (std::vector<float>{0.0f, -1.0f, -3.0f}));
  auto cosine = run(f, "ns", q, tag, 10);
  EXPECT_EQ(keys_of(cosine), (std::vector<std::string>{"k1", "k4", "k2"}));
  EXPECT_EQ(scores_of(cosine), (std::vector<float>{1.0f, 1.0f, 0.0f}));
  auto sparse = run(f, "ns", q, tag, 10, DistanceMetric::kSparseDot);
  EXPECT_EQ(keys_of(sparse), (std::vector<std::string>{"k1", "k2", "k4"}));
  EXPECT_EQ(scores_of(sparse), (std::vector<float>{0.0f, 0.0f, 0.0f}));
  // A query norm below 2^-23: every score 0.0, key order.
  auto tiny = run(f, "ns", Vec{1e-8f, 0, 0, 0}, tag, 10);
  EXPECT_EQ(keys_of(tiny), (std::vector<std::string>{"k1", "k2", "k4"}));
  EXPECT_EQ(scores_of(tiny), (std::vector<float>{0.0f, 0.0f, 0.0f}));
  EXPECT_EQ(keys_of(run(f, "ns", q, tag, 2)), (std::vector<std::string>{"k1", "k4"}));
  EXPECT_TRUE(f.index->calls().empty());
}

TEST_F(ExactCase, NanScoresSortWithoutFault) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  f.records.put(vector_record("ns", "k0", Vec{nan, 0, 0, 0}, tag), /*index_vector=*/false);
  f.index->set_reported_len(1000);
  for (int round = 0; round < 3; ++round) {
    auto hits = run(f, "ns", Vec{1, 0, 0, 0}, tag, 10);
    EXPECT_EQ(hits.size(), 4u);
    EXPECT_TRUE(f.index->calls().empty());
  }
}

TEST(DenseStage, PostFilterSkipsAndKeepsIndexOrder) {
  VectorFixture f;
  std::mt19937 rng(7);
  const FieldMap red = fields("color", FieldValue::string("red"));
  for (int i = 0; i < 40; ++i) {
    MemoryRecord r = vector_record(i % 4 == 3 ? "b" : "a", "k" + std::to_string(100 + i),
                                   random_vec(rng),
                                   fields("color", FieldValue::string(i % 2 ? "red" : "blue")));
    if (i % 5 == 0) r.expires_at_ms = 5;  // long expired
    f.records.put(std::move(r));
  }
  const Vec q = random_vec(rng);
  ASSERT_GE(filter_selectivity(f.engine(), red), 0.1f);
  auto hits = run(f, "a", q, red, 5);
  // The model: the index's candidates in its order, filtered.
  auto cands = f.index->search_by_method(0, q, FilterBitset::all_ones(), f.index->len(),
                                         DistanceMetric::kCosine);
  ASSERT_TRUE(cands.ok());
  std::vector<std::string> want;
  std::vector<float> want_scores;
  for (const ScoredCandidate& c : *cands) {
    auto node = f.engine().get(c.id);
    ASSERT_TRUE(node.ok() && node->has_value());
    auto rec = MemoryRecord::from_node(**node, true);
    if (!rec || rec->ns != "a" || rec->metadata.at("color") != FieldValue::string("red")) continue;
    if (want.size() < 5) {
      want.push_back(rec->key);
      want_scores.push_back(c.score);
    }
  }
  EXPECT_EQ(keys_of(hits), want);
  EXPECT_EQ(scores_of(hits), want_scores);
}

TEST(DenseStage, AllCandidatesDroppedGivesExactRoute) {
  VectorFixture f;
  put_random(f, "a", 20, 3);
  f.records.put(vector_record("z", "z1", Vec{0, 1, 0, 0}), /*index_vector=*/false);
  f.records.put(vector_record("z", "z2", Vec{1, 0, 0, 0}), /*index_vector=*/false);
  auto hits = run(f, "z", Vec{1, 0, 0, 0}, {}, 10);
  EXPECT_EQ(keys_of(hits), (std::vector<std::string>{"z2", "z1"}));
  EXPECT_EQ(f.index->calls().size(), 1u);
}

// A namespace holding few of a large index's vectors: the fetch of 10 x c
// reaches only one of them, and the page would be short.
TEST(DenseStage, ShortPostFilteredPageTakesExactRoute) {
  VectorFixture f;
  std::mt19937 rng(11);
  for (int i = 0; i < 300; ++i) {
    Vec v = random_vec(rng);
    v[0] = std::abs(v[0]) + 3.0f;  // near the query
    f.records.put(vector_record("big", "b" + std::to_string(1000 + i), v));
  }
  f.records.put(vector_record("small", "s0", Vec{5, 0.1f, 0, 0}));
  for (int i = 1; i <= 4; ++i) {
    f.records.put(vector_record("small", "s" + std::to_string(i), Vec{-1, float(i), 0, 0}));
  }
  auto hits = run(f, "small", Vec{1, 0, 0, 0}, {}, 10);
  EXPECT_EQ(hits.size(), 5u);
  EXPECT_EQ(hits.front().record.key, "s0");
  // A page the walk fills is the index's.
  auto full = run(f, "big", Vec{1, 0, 0, 0}, {}, 10);
  EXPECT_EQ(full.size(), 10u);
}

// Five tagged records of a reported 100: an estimate of 0.05, the pre-filter.
struct PrefilterCase : ::testing::Test {
  VectorFixture f;
  const FieldMap tag = fields("tag", FieldValue::string("x"));
  std::vector<NodeId> ids;
  PrefilterCase() {
    for (int i = 0; i < 5; ++i) {
      ids.push_back(f.records.put(
          vector_record("ns", "k" + std::to_string(i), Vec{1, float(i), 0, 0}, tag)));
    }
    f.records.put(vector_record("ns", "k9", Vec{1, 0, 0, 0}, fields("tag", FieldValue::string("y"))));
    f.index->set_reported_len(100);
    EXPECT_EQ(filter_selectivity(f.engine(), tag), 0.05f);
  }
  void put_shred(NodeId id, const FieldMap& m) {
    ASSERT_TRUE(shred_record::put(id, m, *f.engine().backend).ok());
  }
};

TEST_F(PrefilterCase, PassingIdsGiveExactRoute) {
  const Vec q = {1, 0.5f, 0, 0};
  auto hits = run(f, "ns", q, tag, 3);
  auto exact = exact_dense_candidates(f.engine(), "ns", q, tag, 3, DistanceMetric::kCosine);
  ASSERT_TRUE(exact.ok());
  EXPECT_EQ(keys_of(hits), keys_of(*exact));
  EXPECT_EQ(scores_of(hits), scores_of(*exact));
  EXPECT_EQ(hits.size(), 3u);
  EXPECT_TRUE(f.index->calls().empty());
}

TEST_F(PrefilterCase, ShredRecordsDecide) {
  // Every shred record now says y: no id passes, nothing is returned
  // (although the records themselves match), and the index is not asked.
  for (NodeId id : ids) put_shred(id, fields("tag", FieldValue::string("y")));
  EXPECT_TRUE(run(f, "ns", Vec{1, 0, 0, 0}, tag, 3).empty());
  EXPECT_TRUE(f.index->calls().empty());
  // One record without a shred record: the filtered list decides for all.
  ASSERT_TRUE(shred_record::del(ids[2], *f.engine().backend).ok());
  EXPECT_EQ(run(f, "ns", Vec{1, 0, 0, 0}, tag, 3).size(), 3u);
  EXPECT_TRUE(f.index->calls().empty());
  // A namespace without ids.
  EXPECT_TRUE(run(f, "empty", Vec{1, 0, 0, 0}, tag, 3).empty());
}

TEST(DenseStage, DateFilterFindsItsRecordInEveryBand) {
  VectorFixture f;
  const FieldValue when = FieldValue::date_time(*DateTime::from_unix(1700000000, 0));
  put_random(f, "ns", 10, 5);
  f.records.put(vector_record("ns", "dated", Vec{-1, -1, -1, -1}, fields("when", when)));
  for (uint64_t len : {200u, 20u, 5u}) {  // estimates 0.005, 0.05, 0.2
    f.index->set_reported_len(len);
    auto hits = run(f, "ns", Vec{1, 1, 1, 1}, fields("when", when), 5);
    EXPECT_EQ(keys_of(hits), std::vector<std::string>{"dated"}) << len;
  }
}

TEST(DenseStage, PrefilterMemoryStaysSmall) {
  VectorFixture f;
  const FieldMap tag = fields("tag", FieldValue::string("x"));
  std::mt19937 rng(9);
  for (int i = 0; i < 1000; ++i) {
    f.records.put(vector_record("ns", "k" + std::to_string(10000 + i), random_vec(rng), tag));
  }
  f.index->set_reported_len(20000);
  ASSERT_EQ(filter_selectivity(f.engine(), tag), 0.05f);
  AllocationScope scope;
  auto r = dense_candidates(f.engine(), "ns", random_vec(rng), tag, 10, DistanceMetric::kCosine, 0);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->size(), 10u);
  EXPECT_LT(scope.peak(), 4u << 20);
}

// Batched reads in the index's order give the hits of reading every
// candidate at once, over records some of which are expired, deleted or of
// another namespace.
TEST(DenseStage, BatchedReadsMatchReadingAll) {
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    VectorFixture f;
    std::mt19937 rng(seed);
    std::vector<NodeId> ids;
    for (int i = 0; i < 120; ++i) {
      MemoryRecord r = vector_record(rng() % 3 ? "a" : "b", "k" + std::to_string(1000 + i),
                                     random_vec(rng));
      if (rng() % 5 == 0) r.expires_at_ms = 5;
      ids.push_back(f.records.put(std::move(r)));
    }
    for (int i = 0; i < 10; ++i) f.records.delete_node(ids[rng() % ids.size()]);
    for (uint64_t c : {1u, 3u, 10u, 25u}) {
      const Vec q = random_vec(rng);
      auto hits = run(f, "a", q, {}, c);
      // The model: every candidate read in one batch, walked in order.
      const uint64_t fetch = std::min<uint64_t>(std::max<uint64_t>(c, std::min<uint64_t>(10 * c, 500)),
                                                f.index->len());
      auto cands = f.index->search_by_method(0, q, FilterBitset::all_ones(), fetch,
                                             DistanceMetric::kCosine);
      ASSERT_TRUE(cands.ok());
      std::vector<NodeId> all;
      for (const auto& cand : *cands) all.push_back(cand.id);
      auto nodes = f.engine().get_many(all);
      ASSERT_TRUE(nodes.ok());
      std::unordered_map<NodeId, MemoryRecord, NodeIdHash> rows;
      for (const EngineNode& n : *nodes) {
        if (auto rec = MemoryRecord::from_node(n, true)) rows.emplace(n.id, std::move(*rec));
      }
      std::vector<std::string> want;
      for (const auto& cand : *cands) {
        if (want.size() >= c) break;
        auto it = rows.find(cand.id);
        if (it != rows.end() && it->second.ns == "a") want.push_back(it->second.key);
      }
      if (want.size() == c || want.empty()) {
        EXPECT_EQ(keys_of(hits), want) << seed << " c=" << c;
      } else {
        EXPECT_GE(hits.size(), want.size());
      }
    }
  }
}

}  // namespace
}  // namespace zv::search
