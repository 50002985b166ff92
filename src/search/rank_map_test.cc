#include "src/search/rank_map.h"

#include <gtest/gtest.h>

#include "src/search/testing/hits.h"

namespace zv::search {
namespace {

using search_testing::hit;

TEST(RankMap, OneBasedLargestRankPerPair) {
  std::vector<SearchHit> list = {hit("a", "k1", 1, 0), hit("b", "k1", 2, 0), hit("a", "k2", 3, 0),
                                 hit("a", "k1", 1, 0)};
  RankMap ranks = rank_map(list);
  EXPECT_EQ(ranks.size(), 3u);
  EXPECT_EQ(rank_of(ranks, list[0].record), 4u);  // repeated: the largest rank
  EXPECT_EQ(rank_of(ranks, list[1].record), 2u);  // same key, other namespace
  EXPECT_EQ(rank_of(ranks, list[2].record), 3u);
  EXPECT_EQ(rank_of(ranks, hit("a", "absent", 1, 0).record), std::nullopt);
  // The pair is namespace then key, with no separator to blur them.
  EXPECT_EQ(rank_of(ranks, hit("ak", "1", 1, 0).record), std::nullopt);
  EXPECT_TRUE(rank_map({}).empty());
}

}  // namespace
}  // namespace zv::search
