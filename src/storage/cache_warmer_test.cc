#include "src/storage/cache_warmer.h"

#include <gtest/gtest.h>

#include <vector>

namespace zv {
namespace {

void report(CacheWarmer& w, std::vector<NodeId> ids) { w.record_access(ids); }

TEST(CacheWarmer, ReportsOfFewerThanTwoIdsChangeNothing) {
  CacheWarmer w;
  report(w, {});
  report(w, {1});
  EXPECT_EQ(w.calls(), 0u);
  EXPECT_FALSE(w.has_outer(1));
}

TEST(CacheWarmer, PairsInReportOrderWithAnOuterEntryForTheLast) {
  CacheWarmer w;
  report(w, {1, 2, 3});
  EXPECT_EQ(w.count(1, 2), 1u);
  EXPECT_EQ(w.count(1, 3), 1u);
  EXPECT_EQ(w.count(2, 3), 1u);
  EXPECT_FALSE(w.count(2, 1).has_value());
  EXPECT_TRUE(w.has_outer(3));
  EXPECT_FALSE(w.count(3, 1).has_value());
  EXPECT_EQ(w.total_entries(), 3u);
  report(w, {4, 4});
  EXPECT_EQ(w.count(4, 4), 1u);
  EXPECT_EQ(w.total_entries(), 4u);
}

TEST(CacheWarmer, DecayRunsOnTheThousandAndFirstReport) {
  CacheWarmer w;
  for (int i = 0; i < 4; ++i) report(w, {1, 2});
  report(w, {5, 6});  // a pair at 1, and an outer entry 6 without pairs
  for (int i = 5; i < 1000; ++i) report(w, {10, 11});
  EXPECT_EQ(w.count(1, 2), 4u);  // the 1000th report did not decay
  EXPECT_EQ(w.count(10, 11), 995u);
  report(w, {20, 21});  // the 1001st decays first
  EXPECT_EQ(w.count(1, 2), 2u);
  EXPECT_FALSE(w.count(5, 6).has_value());
  EXPECT_FALSE(w.has_outer(5));
  EXPECT_FALSE(w.has_outer(6));
  EXPECT_EQ(w.count(10, 11), 497u);
  EXPECT_EQ(w.count(20, 21), 1u);
  EXPECT_EQ(w.total_entries(), 3u);
}

TEST(CacheWarmer, EntryLimitAppliesInsideAReportAndDecayResumes) {
  CacheWarmer w;
  NodeId next = 1000;
  // 496 reports of 64 new ids: 2,016 pairs each.
  for (int r = 0; r < 496; ++r) {
    std::vector<NodeId> ids;
    for (int i = 0; i < 64; ++i) ids.push_back(next++);
    w.record_access(ids);
  }
  auto fresh_report = [&](int n) {
    std::vector<NodeId> ids;
    for (int i = 0; i < n; ++i) ids.push_back(next++);
    w.record_access(ids);
  };
  fresh_report(11);  // 55
  fresh_report(4);   // 6
  fresh_report(2);   // 1
  fresh_report(2);   // 1
  ASSERT_EQ(w.total_entries(), 999999u);
  EXPECT_FALSE(w.paused());
  // p->q exists; p->r and q->r would be new: only the first is made.
  const NodeId p = 1, q = 2, r = 3;
  report(w, {p, q});
  ASSERT_EQ(w.total_entries(), 1000000u);
  EXPECT_TRUE(w.paused());
  report(w, {p, q, r});
  EXPECT_EQ(w.count(p, q), 2u);
  EXPECT_FALSE(w.count(p, r).has_value());
  EXPECT_FALSE(w.count(q, r).has_value());
  // Paused: existing pairs grow, nothing new appears.
  const uint64_t calls = w.calls();
  for (uint64_t c = calls; c < 1000; ++c) report(w, {p, q});
  EXPECT_TRUE(w.paused());
  report(w, {q, r});  // the 1001st: decay drops the pairs at 1, then records
  EXPECT_FALSE(w.paused());
  EXPECT_EQ(w.count(q, r), 1u);
  EXPECT_EQ(w.total_entries(), 2u);
}

TEST(CacheWarmer, OnlyTheFirst64IdsArePaired) {
  CacheWarmer w;
  std::vector<NodeId> ids;
  for (NodeId i = 1; i <= 10000; ++i) ids.push_back(i);
  w.record_access(ids);
  EXPECT_EQ(w.total_entries(), 64u * 63 / 2);
  EXPECT_TRUE(w.has_outer(64));
  EXPECT_FALSE(w.has_outer(65));
  EXPECT_FALSE(w.count(1, 65).has_value());
}

TEST(CacheWarmer, CountsStopAtTheU32Maximum) {
  uint32_t c = UINT32_MAX - 1;
  coaccess_increment(c);
  EXPECT_EQ(c, UINT32_MAX);
  coaccess_increment(c);
  EXPECT_EQ(c, UINT32_MAX);
}

TEST(CacheWarmer, CompanionsBelowTheMinimumAreNotOffered) {
  CacheWarmer w;
  for (int i = 0; i < 3; ++i) report(w, {1, 2});
  for (int i = 0; i < 2; ++i) report(w, {1, 3});
  auto c = w.companions(1);
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].first, NodeId{2});
  EXPECT_EQ(c[0].second, 3u);
}

}  // namespace
}  // namespace zv
