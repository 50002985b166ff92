#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>

#include "src/index/scann_index.h"
#include "src/index/testing/vector_data.h"
#include "src/vector/kernel_call.h"
#include "src/vector/score.h"

namespace zv {
namespace {

ScannIndex build(std::initializer_list<std::vector<float>> vs,
                 DistanceMetric m = DistanceMetric::kEuclidean, uint64_t rerank = 10) {
  ScannIndex::Builder b(rerank, m);
  NodeId id = 1;
  for (const auto& v : vs) EXPECT_TRUE(b.add(id++, FilterBitset(), VectorRepr::f32(v), 0).ok());
  return std::move(b).finish();
}

TEST(ScannIndexTest, CodesUseTheFinalBounds) {
  // Codes fixed at add time would leave the first vector at [128, 128] and
  // decode it as about [2.51, 15.02].
  ScannIndex idx = build({{0, 10}, {5, 20}});
  EXPECT_EQ(idx.min_bound(), (std::vector<float>{0, 10}));
  EXPECT_EQ(idx.max_bound(), (std::vector<float>{5, 20}));
  EXPECT_EQ(std::vector<uint8_t>(idx.codes(0).begin(), idx.codes(0).end()),
            (std::vector<uint8_t>{0, 0}));
  EXPECT_EQ(std::vector<uint8_t>(idx.codes(1).begin(), idx.codes(1).end()),
            (std::vector<uint8_t>{255, 255}));
  EXPECT_FLOAT_EQ(idx.dequantized(0, 0), 0.0f);
  EXPECT_FLOAT_EQ(idx.dequantized(0, 1), 10.0f);
  // A component with equal bounds gets 128 and decodes to its value.
  ScannIndex flat = build({{3, 1}, {3, 2}});
  EXPECT_EQ(flat.codes(0)[0], 128);
  EXPECT_FLOAT_EQ(flat.dequantized(0, 0), 3.0f);
}

TEST(ScannIndexTest, AddRefusals) {
  ScannIndex::Builder b(10, DistanceMetric::kCosine);
  ASSERT_TRUE(b.add(1, {}, VectorRepr::f32({1, 2, 3, 4}), 0).ok());
  struct Case {
    VectorRepr v;
    const char* reason;
  };
  const Case cases[] = {
      {VectorRepr::sq8(1.0f, {1, 2, 3, 4}), "ScannIndex::add only accepts full vectors (ERR-031)"},
      {VectorRepr::none(), "ScannIndex::add only accepts full vectors (ERR-031)"},
      {VectorRepr::f32({1, 2, 3}), "ScannIndex::add vector dim 3 != index dim 4 (ERR-031)"},
  };
  for (const Case& c : cases) {
    auto r = b.add(2, {}, c.v, 0);
    ASSERT_FALSE(r.ok());
    const auto* v = r.error().as<ZolvaError::Validation>();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->field, "vec_data");
    EXPECT_EQ(v->reason, c.reason);
  }
  ScannIndex idx = std::move(b).finish();
  EXPECT_EQ(idx.size(), 1u);
  EXPECT_EQ(idx.max_bound(), (std::vector<float>{1, 2, 3, 4}));
  // An empty first vector fixes dimension 0: every later vector is refused.
  ScannIndex::Builder z(10, DistanceMetric::kCosine);
  ASSERT_TRUE(z.add(1, {}, VectorRepr::f32({}), 0).ok());
  EXPECT_FALSE(z.add(2, {}, VectorRepr::f32({1}), 0).ok());
}

TEST(ScannIndexTest, SearchRanksReranksAndFilters) {
  ScannIndex::Builder b(10, DistanceMetric::kEuclidean);
  for (uint64_t i = 0; i < 30; ++i)
    ASSERT_TRUE(b.add(i + 1, FilterBitset({i % 2 ? 1ull : 2ull}),
                      VectorRepr::f32({float(i), float(30 - i)}), i)
                    .ok());
  ScannIndex idx = std::move(b).finish();
  auto hits = idx.search(std::vector<float>{10, 20}, FilterBitset::unfiltered(), 2);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].id, 11u);
  EXPECT_NEAR(hits[0].score, 0.0f, 1e-3f);
  hits = idx.search(std::vector<float>{10, 20}, FilterBitset({1}), 3);
  ASSERT_EQ(hits.size(), 3u);
  for (const auto& h : hits) EXPECT_EQ(h.id % 2, 0u) << "odd i has bit 0";
  EXPECT_TRUE(idx.search(std::vector<float>{10, 20}, FilterBitset::unfiltered(), 0).empty());
  // A query of another length cannot be compared with any entry.
  EXPECT_TRUE(idx.search(std::vector<float>{10, 20, 1}, FilterBitset::unfiltered(), 3).empty());

  ScannIndex cos = build({{1, 0}, {0, 1}, {1, 1}}, DistanceMetric::kCosine);
  hits = cos.search(std::vector<float>{2, 2}, FilterBitset::unfiltered(), 3);
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[0].id, 3u);
  EXPECT_NEAR(hits[0].score, 1.0f, 1e-5f);
  ScannIndex sparse = build({{1, 0}, {0, 1}}, DistanceMetric::kSparseDot);
  for (const auto& h : sparse.search(std::vector<float>{1, 0}, FilterBitset::unfiltered(), 2))
    EXPECT_EQ(h.score, 0.0f);
}

}  // namespace
}  // namespace zv

namespace zv {
namespace {

// What a search must return: each entry's codes decoded to its offsets from
// the lower bounds and scored, every candidate sorted, the best
// top_k x rerank re-scored from their dequantised values.
std::vector<ScoredCandidate> reference_scan(const ScannIndex& idx,
                                            const std::vector<std::vector<float>>& added,
                                            std::span<const float> q, const FilterBitset& filter,
                                            const std::vector<FilterBitset>& filters,
                                            uint64_t top_k, uint64_t rerank, DistanceMetric m) {
  const size_t d = idx.dim();
  std::vector<float> w(d), shifted(d), scaled(d);
  float q_dot_lo = 0.0f, qq = 0.0f;
  for (size_t j = 0; j < d; ++j) {
    w[j] = (idx.max_bound()[j] - idx.min_bound()[j]) / 255.0f;
    shifted[j] = q[j] - idx.min_bound()[j];
    q_dot_lo += q[j] * idx.min_bound()[j];
    qq += q[j] * q[j];
  }
  const float qn = std::sqrt(qq);
  std::vector<std::pair<ScoredCandidate, size_t>> approx;
  for (size_t e = 0; e < idx.size(); ++e) {
    if (idx.codes(e).empty()) continue;
    if (!filter.is_unfiltered() && !FilterBitset::matches(filters[e], filter)) continue;
    for (size_t j = 0; j < d; ++j) scaled[j] = w[j] * static_cast<float>(idx.codes(e)[j]);
    float sq = 0.0f;
    for (float x : added[e]) sq += x * x;
    const float vn = std::sqrt(sq);
    float s = 0.0f;
    if (m == DistanceMetric::kEuclidean) s = -kern::l2_squared(shifted, scaled);
    if (m == DistanceMetric::kCosine)
      s = (vn < kNormEpsilon || qn < kNormEpsilon) ? 0.0f : (kern::dot(q, scaled) + q_dot_lo) / (vn * qn);
    approx.push_back({{idx.id(e), s}, e});
  }
  std::sort(approx.begin(), approx.end(),
            [](const auto& a, const auto& b) { return better(a.first, b.first); });
  approx.resize(std::min<size_t>(approx.size(), std::max(top_k * rerank, top_k)));
  std::vector<ScoredCandidate> out;
  for (const auto& [c, e] : approx) {
    std::vector<float> v(d);
    for (size_t j = 0; j < d; ++j) v[j] = idx.dequantized(e, j);
    float s = 0.0f;
    if (m == DistanceMetric::kEuclidean) s = -kern::l2_squared(q, v);
    if (m == DistanceMetric::kCosine) {
      const auto [dot, vv] = kern::dot_norm(q, v);
      const float vn = std::sqrt(vv);
      s = (qn < kNormEpsilon || vn < kNormEpsilon) ? 0.0f : dot / (qn * vn);
    }
    out.push_back({c.id, s});
  }
  std::sort(out.begin(), out.end(), BestFirst{});
  out.resize(std::min<size_t>(out.size(), top_k));
  return out;
}

// Entries scored four at a time from their codes in place, a bounded heap
// of candidates: the same ids and score bits as decoding each entry first,
// at every length around the kernel blocks, with zero vectors, duplicates,
// filters, zero queries and rerank factors that make the heap the answer.
TEST(ScannIndexTest, SearchEqualsDecodingEveryEntryFirst) {
  for (DistanceMetric m : {DistanceMetric::kCosine, DistanceMetric::kEuclidean}) {
    for (size_t dim : {5, 8, 19}) {
      for (uint64_t rerank : {0, 1, 10}) {
        const auto data = testing::clustered_vectors(203, dim, 5, 0.5f, dim, 7);
        std::vector<std::vector<float>> added;
        std::vector<FilterBitset> filters;
        ScannIndex::Builder b(rerank, m);
        for (size_t i = 0; i < 203; ++i) {
          std::vector<float> v(data.begin() + i * dim, data.begin() + (i + 1) * dim);
          if (i % 17 == 0) v.assign(dim, 0.0f);
          if (i % 19 == 1) v = added[0 + i / 2];
          added.push_back(v);
          filters.push_back(FilterBitset({1ull << (i % 2)}));
          ASSERT_TRUE(b.add(NodeId{i + 1}, filters.back(), VectorRepr::f32(v), i).ok());
        }
        const ScannIndex idx = std::move(b).finish();
        auto queries = testing::clustered_vectors(6, dim, 5, 0.5f, dim, 8);
        queries.insert(queries.end(), dim, 0.0f);
        for (size_t qi = 0; qi < queries.size() / dim; ++qi) {
          std::span<const float> q(queries.data() + qi * dim, dim);
          for (uint64_t k : {1, 4, 10, 500})
            for (const FilterBitset& f : {FilterBitset::unfiltered(), FilterBitset({0b1})}) {
              SCOPED_TRACE("metric " + std::to_string(int(m)) + " dim " + std::to_string(dim) +
                           " rerank " + std::to_string(rerank) + " query " + std::to_string(qi) +
                           " k " + std::to_string(k));
              const auto got = idx.search(q, f, k);
              const auto want = reference_scan(idx, added, q, f, filters, k, rerank, m);
              ASSERT_EQ(got.size(), want.size());
              for (size_t i = 0; i < got.size(); ++i) {
                EXPECT_EQ(got[i].id, want[i].id);
                EXPECT_EQ(std::bit_cast<uint32_t>(got[i].score), std::bit_cast<uint32_t>(want[i].score));
              }
            }
        }
      }
    }
  }
}

}  // namespace
}  // namespace zv
