#include <gtest/gtest.h>

#include <cmath>

#include "src/index/scann_index.h"

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
