#include "src/search/mmr.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "src/search/testing/hits.h"
#include "src/vector/kernel_call.h"

namespace zv::search {
namespace {

using search_testing::hit;
using search_testing::keys_of;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

SearchHit vhit(std::string key, float score, std::optional<std::vector<float>> v) {
  SearchHit h = hit(std::move(key), score);
  h.record.vector = std::move(v);
  return h;
}

MmrOptions lam(float l) { return MmrOptions{std::nullopt, l}; }

TEST(MmrCandidateCount, FetchOrFiveTimesClamped) {
  EXPECT_EQ(mmr_candidate_count(10, std::nullopt), 50u);
  EXPECT_EQ(mmr_candidate_count(10, 3), 10u);
  EXPECT_EQ(mmr_candidate_count(10, 100000), 16384u);
  EXPECT_EQ(mmr_candidate_count(10, 40), 40u);
  EXPECT_EQ(mmr_candidate_count(4000, std::nullopt), 16384u);
  EXPECT_EQ(mmr_candidate_count(16384, 1), 16384u);
  EXPECT_EQ(mmr_candidate_count(1, std::nullopt), 5u);
}

TEST(Mmr, LambdaOneIsTheScoreOrderWithTiesInListOrder) {
  std::vector<SearchHit> hits = {vhit("a", 1.0f, std::vector<float>{1, 0}), vhit("b", 3.0f, std::nullopt),
                                 vhit("c", 2.0f, std::vector<float>{1, 0}), vhit("d", 3.0f, std::vector<float>{1, 0}),
                                 vhit("e", 0.5f, std::nullopt)};
  auto out = mmr_rerank(std::move(hits), 4, lam(1.0f));
  EXPECT_EQ(keys_of(out), (std::vector<std::string>{"b", "d", "c", "a"}));
  EXPECT_EQ(out[0].score, 3.0f);  // scores are kept
}

TEST(Mmr, LambdaZeroPicksFirstThenLeastSimilar) {
  std::vector<SearchHit> hits = {vhit("first", 0.1f, std::vector<float>{1, 0}),
                                 vhit("near", 0.9f, std::vector<float>{1, 0.1f}),
                                 vhit("far", 0.2f, std::vector<float>{0, 1}),
                                 vhit("opposite", 0.3f, std::vector<float>{-1, 0})};
  auto out = mmr_rerank(std::move(hits), 3, lam(0.0f));
  EXPECT_EQ(keys_of(out), (std::vector<std::string>{"first", "opposite", "far"}));
}

TEST(Mmr, EqualScoresLetSimilarityDecide) {
  std::vector<SearchHit> hits = {vhit("a", 2.0f, std::vector<float>{1, 0}), vhit("b", 2.0f, std::vector<float>{1, 0}),
                                 vhit("c", 2.0f, std::vector<float>{0, 1})};
  auto out = mmr_rerank(std::move(hits), 3, lam(0.5f));
  EXPECT_EQ(keys_of(out), (std::vector<std::string>{"a", "c", "b"}));
}

TEST(Mmr, HitsWithoutVectorsGoByRelevance) {
  std::vector<SearchHit> hits = {vhit("a", 1.0f, std::nullopt), vhit("b", 5.0f, std::vector<float>{}),
                                 vhit("c", 3.0f, std::nullopt)};
  auto out = mmr_rerank(std::move(hits), 3, lam(0.3f));
  EXPECT_EQ(keys_of(out), (std::vector<std::string>{"b", "c", "a"}));
}

TEST(Mmr, ADuplicateLosesAboutHalfAtLambdaHalf) {
  // Relevances 1, 0.8, 0: without the duplicate penalty B (0.4) would beat
  // C (0); with it B is worth 0.4 - 0.5 = -0.1.
  std::vector<SearchHit> hits = {vhit("A", 1.0f, std::vector<float>{0.3f, 0.4f}),
                                 vhit("B", 0.9f, std::vector<float>{0.3f, 0.4f}),
                                 vhit("C", 0.5f, std::vector<float>{0.4f, -0.3f})};
  auto out = mmr_rerank(std::move(hits), 3, lam(0.5f));
  EXPECT_EQ(keys_of(out), (std::vector<std::string>{"A", "C", "B"}));
}

TEST(Mmr, PicksWithOtherLengthsAreNotCompared) {
  // The pick has a 3-dim vector; candidates of 2 dims see similarity 0 (not
  // minus infinity, which would make them win whatever their relevance).
  std::vector<SearchHit> hits = {vhit("p", 10.0f, std::vector<float>{1, 0, 0}),
                                 vhit("low", 0.0f, std::vector<float>{1, 0}),
                                 vhit("high", 5.0f, std::vector<float>{1, 0}),
                                 vhit("same_dim_dup", 9.0f, std::vector<float>{1, 0, 0})};
  auto out = mmr_rerank(std::move(hits), 4, lam(0.5f));
  EXPECT_EQ(keys_of(out), (std::vector<std::string>{"p", "high", "same_dim_dup", "low"}));
}

TEST(Mmr, NaNScoresAreSkippedForTheRangeAndPickedLast) {
  std::vector<SearchHit> hits = {vhit("n1", kNaN, std::nullopt), vhit("a", 1.0f, std::nullopt),
                                 vhit("n2", kNaN, std::nullopt), vhit("b", 2.0f, std::nullopt)};
  auto out = mmr_rerank(std::move(hits), 4, lam(0.7f));
  EXPECT_EQ(keys_of(out), (std::vector<std::string>{"b", "a", "n1", "n2"}));

  // A single real score: spread 0, every relevance 1, NaN included.
  std::vector<SearchHit> flat = {vhit("n", kNaN, std::nullopt), vhit("x", 4.0f, std::nullopt)};
  EXPECT_EQ(keys_of(mmr_rerank(std::move(flat), 2, lam(0.7f))), (std::vector<std::string>{"n", "x"}));

  EXPECT_TRUE(mmr_rerank({}, 5, lam(0.5f)).empty());
}

// The definition written plainly: every pick recomputes every similarity
// against every picked hit.
std::vector<std::string> quadratic_mmr(const std::vector<SearchHit>& hits, uint64_t top_k, float lambda) {
  float smin = INFINITY, smax = -INFINITY;
  for (const auto& h : hits) {
    if (std::isnan(h.score)) continue;
    smin = std::min(smin, h.score);
    smax = std::max(smax, h.score);
  }
  const float spread = smax - smin;
  auto cos = [](const std::vector<float>& a, const std::vector<float>& b) {
    const float na = std::sqrt(kern::dot_norm(a, a).first);
    const float nb = std::sqrt(kern::dot_norm(b, b).first);
    if (na < kNormEpsilon || nb < kNormEpsilon) return 0.0f;
    return kern::dot_norm(a, b).first / (na * nb);
  };
  std::vector<size_t> rest, picked;
  for (size_t i = 0; i < hits.size(); ++i) rest.push_back(i);
  while (picked.size() < top_k && !rest.empty()) {
    size_t best = 0;
    float best_v = -INFINITY;
    for (size_t pos = 0; pos < rest.size(); ++pos) {
      const SearchHit& r = hits[rest[pos]];
      const float rel = spread > 0.0f ? (r.score - smin) / spread : 1.0f;
      float sim = 0.0f;
      bool any = false;
      if (r.record.vector && !r.record.vector->empty()) {
        for (size_t p : picked) {
          const auto& pv = hits[p].record.vector;
          if (!pv || pv->size() != r.record.vector->size()) continue;
          const float c = cos(*r.record.vector, *pv);
          if (std::isnan(c)) continue;
          if (!any || c > sim) sim = c;
          any = true;
        }
      }
      const float v = lambda * rel - (1.0f - lambda) * sim;
      if (v > best_v) {
        best_v = v;
        best = pos;
      }
    }
    picked.push_back(rest[best]);
    rest.erase(rest.begin() + static_cast<ptrdiff_t>(best));
  }
  std::vector<std::string> out;
  for (size_t p : picked) out.push_back(hits[p].record.key);
  return out;
}

TEST(Mmr, RunningMaximumPicksAsTheDefinition) {
  std::mt19937 rng(2024);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (int round = 0; round < 300; ++round) {
    const size_t n = rng() % 40;
    std::vector<SearchHit> hits;
    for (size_t i = 0; i < n; ++i) {
      const unsigned kind = rng() % 10;
      std::optional<std::vector<float>> v;
      if (kind < 6) {
        v = std::vector<float>(rng() % 2 ? 4 : 5);
        for (float& x : *v) x = u(rng);
      } else if (kind == 6) {
        v = std::vector<float>(4, 0.0f);  // zero vector
      } else if (kind == 7) {
        v = std::vector<float>{};
      } else if (kind == 8) {
        v = std::vector<float>{kNaN, 1, 0, 0};
      }
      float score = static_cast<float>(rng() % 7) * 0.25f;
      if (rng() % 8 == 0) score = kNaN;
      hits.push_back(vhit("k" + std::to_string(i), score, v));
    }
    const uint64_t top_k = 1 + rng() % 12;
    const float lambda = static_cast<float>(rng() % 5) * 0.25f;
    const auto want = quadratic_mmr(hits, top_k, lambda);
    EXPECT_EQ(keys_of(mmr_rerank(hits, top_k, MmrOptions{std::nullopt, lambda})), want) << round;
  }
}

}  // namespace
}  // namespace zv::search
