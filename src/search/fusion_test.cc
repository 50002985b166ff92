#include "src/search/fusion.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "src/search/hit_order.h"
#include "src/search/testing/hits.h"

namespace zv {
namespace {

using search_testing::hit;
using search_testing::keys_of;

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

TEST(Fusion, ScoresAreReciprocalRanksSummedInF32) {
  std::vector<SearchHit> kw = {hit("both1", 9.0f), hit("kw_then_dense2", 8.0f), hit("kw_only", 7.0f)};
  std::vector<SearchHit> dense = {hit("both1", 0.1f), hit("kw_then_dense2", 0.2f)};
  auto [fused, report] = fusion::fuse_rrf(std::move(kw), std::move(dense), 60.0f);
  ASSERT_EQ(keys_of(fused), (std::vector<std::string>{"both1", "kw_then_dense2", "kw_only"}));
  EXPECT_EQ(bits(fused[0].score), bits(0.032786883f));  // 2/61
  EXPECT_EQ(bits(fused[1].score), bits(1.0f / 62.0f + 1.0f / 62.0f));
  EXPECT_EQ(bits(fused[2].score), bits(1.0f / 63.0f));
  EXPECT_EQ(report, (fusion::FusionReport{3, 2, 3, 60}));

  // Rank 1 in one list and 2 in the other; rank 1 of one list alone.
  std::vector<SearchHit> a = {hit("x", 1), hit("y", 1)};
  std::vector<SearchHit> b = {hit("y", 1), hit("x", 1)};
  auto [fx, rx] = fusion::fuse_rrf(std::move(a), std::move(b), 60.0f);
  EXPECT_EQ(bits(fx[0].score), bits(0.032522473f));
  std::vector<SearchHit> c = {hit("z", 1)};
  auto [fz, rz] = fusion::fuse_rrf(std::move(c), {}, 60.0f);
  EXPECT_EQ(bits(fz[0].score), bits(0.016393442f));
}

TEST(Fusion, EmptyInputsAndTheReportedConstant) {
  auto [fused, report] = fusion::fuse_rrf({}, {}, 60.0f);
  EXPECT_TRUE(fused.empty());
  EXPECT_EQ(report, (fusion::FusionReport{0, 0, 0, 60}));
  EXPECT_TRUE(fusion::fuse_rrf_lists({}, 60.0f).empty());
  EXPECT_TRUE(fusion::fuse_rrf_lists({{}, {}}, 60.0f).empty());

  struct Case {
    float k;
    uint64_t want;
  } cases[] = {
      {1.5f, 1},
      {0.0f, 0},
      {-0.5f, 0},
      {-3.0f, 0},
      {std::numeric_limits<float>::quiet_NaN(), 0},
      {18446744073709551616.0f, std::numeric_limits<uint64_t>::max()},
      {std::numeric_limits<float>::infinity(), std::numeric_limits<uint64_t>::max()},
      {1e19f, 9999999980506447872ULL},  // the float nearest 1e19
  };
  for (const Case& c : cases) EXPECT_EQ(fusion::rrf_k_report_value(c.k), c.want) << c.k;
}

TEST(Fusion, FractionalConstantAndRepeatedPairs) {
  std::vector<SearchHit> list = {hit("a", 0), hit("b", 0), hit("a", 0)};
  std::vector<SearchHit> fused = fusion::fuse_rrf_lists({std::move(list)}, 1.5f);
  ASSERT_EQ(keys_of(fused), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(bits(fused[0].score), bits(1.0f / 2.5f + 1.0f / 4.5f));  // both contributions
  EXPECT_EQ(bits(fused[1].score), bits(1.0f / 3.5f));
}

TEST(Fusion, FirstOccurrenceKeepsItsRecordAndLosesItsExplanation) {
  SearchHit k = hit("r", 1.0f);
  k.record.payload = "keyword copy";
  k.explanation = HitExplanation{};
  SearchHit d = hit("r", 1.0f);
  d.record.payload = "dense copy";
  std::vector<SearchHit> kw, dense;
  kw.push_back(std::move(k));
  dense.push_back(std::move(d));
  auto [fused, report] = fusion::fuse_rrf(std::move(kw), std::move(dense), 60.0f);
  ASSERT_EQ(fused.size(), 1u);
  EXPECT_EQ(fused[0].record.payload, "keyword copy");
  EXPECT_FALSE(fused[0].explanation.has_value());
}

TEST(Fusion, NamespacesAreDistinctPairsButNeverOrderTies) {
  // The same key in two namespaces: two hits, equal scores, ordered by node id.
  std::vector<SearchHit> l1 = {hit("zz", "k", 5, 0.0f)};
  std::vector<SearchHit> l2 = {hit("aa", "k", 9, 0.0f), hit("mm", "j", 1, 0.0f)};
  std::vector<SearchHit> fused = fusion::fuse_rrf_lists({std::move(l1), std::move(l2)}, 60.0f);
  ASSERT_EQ(fused.size(), 3u);
  EXPECT_EQ(fused[0].record.ns, "zz");  // k / node 5
  EXPECT_EQ(fused[1].record.ns, "aa");  // k / node 9
  EXPECT_EQ(fused[2].record.key, "j");  // rank 2
}

TEST(Fusion, StageScoresNeverReachTheFusedScore) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<SearchHit> a = {hit("p", nan), hit("q", -1e30f)};
  std::vector<SearchHit> b = {hit("p", 5.0f), hit("q", nan)};
  std::vector<SearchHit> fused = fusion::fuse_rrf_lists({std::move(a), std::move(b)}, 60.0f);
  ASSERT_EQ(keys_of(fused), (std::vector<std::string>{"p", "q"}));
  EXPECT_EQ(bits(fused[0].score), bits(0.032786883f));
  EXPECT_FALSE(std::isnan(fused[1].score));
}

TEST(HitOrder, ScoreThenKeyBytesThenNodeId) {
  std::vector<SearchHit> hits = {
      hit("ns", "b", 1, 1.0f), hit("ns", "a", 2, 1.0f), hit("ns", "ab", 1, 1.0f),
      hit("ns", "\xff", 1, 1.0f), hit("zz", "a", 1, 1.0f), hit("ns", "c", 1, 2.0f),
  };
  search::sort_hits(hits);
  EXPECT_EQ(keys_of(hits), (std::vector<std::string>{"c", "a", "a", "ab", "b", "\xff"}));
  EXPECT_EQ(hits[1].record.node_id, 1u);  // node id breaks the key tie, namespace ignored
  EXPECT_EQ(hits[2].record.node_id, 2u);
  EXPECT_EQ(search::compare_hits(hits[0], hits[0]), std::weak_ordering::equivalent);
  // Node ids compare as full 128-bit numbers.
  SearchHit hi = hit("ns", "k", make_node_id(1, 0), 0.0f);
  SearchHit lo = hit("ns", "k", make_node_id(0, ~0ULL), 0.0f);
  EXPECT_EQ(search::compare_hits(lo, hi), std::weak_ordering::less);
}

TEST(HitOrder, NaNScoresFallBackToTheKey) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<SearchHit> hits = {hit("b", nan), hit("a", 3.0f), hit("c", nan)};
  std::vector<SearchHit> again = hits;
  search::sort_hits(hits);
  search::sort_hits(again);
  EXPECT_EQ(keys_of(hits), keys_of(again));
  EXPECT_EQ(search::compare_hits(hit("b", nan), hit("a", 3.0f)), std::weak_ordering::greater);
}

TEST(HitOrder, ScoreOnlyOrderKeepsTiesAndNaNInPlace) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<SearchHit> hits = {hit("n1", nan), hit("x", 1.0f), hit("y", 1.0f), hit("z", 2.0f)};
  search::sort_hits_by_score(hits);
  // z passes only the x/y run; NaN never moves past anything.
  EXPECT_EQ(keys_of(hits), (std::vector<std::string>{"n1", "z", "x", "y"}));
}

}  // namespace
}  // namespace zv
