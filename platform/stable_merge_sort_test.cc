#include "platform/stable_merge_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "platform/saturating.h"

namespace zv {
namespace {

struct Item {
  float score;
  int tag;  // input position
};

TEST(StableMergeSort, MatchesStableSortForAStrictOrder) {
  std::mt19937 rng(7);
  for (size_t n : {0u, 1u, 2u, 15u, 16u, 17u, 100u, 1000u}) {
    std::vector<Item> v;
    for (size_t i = 0; i < n; ++i) v.push_back({static_cast<float>(rng() % 10), static_cast<int>(i)});
    std::vector<Item> want = v;
    auto by_score = [](const Item& a, const Item& b) { return a.score > b.score; };
    std::stable_sort(want.begin(), want.end(), by_score);
    stable_merge_sort(v, by_score);
    ASSERT_EQ(v.size(), want.size());
    for (size_t i = 0; i < n; ++i) EXPECT_EQ(v[i].tag, want[i].tag) << n << " at " << i;
  }
}

// NaN compares equal to everything, so the order is not a strict weak order;
// the sort must still keep every element exactly once and be repeatable.
TEST(StableMergeSort, NaNScoresTerminateAndAreDeterministic) {
  std::mt19937 rng(11);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (int round = 0; round < 50; ++round) {
    std::vector<Item> v;
    const size_t n = rng() % 300;
    for (size_t i = 0; i < n; ++i) {
      const unsigned pick = rng() % 4;
      v.push_back({pick == 0 ? nan : static_cast<float>(rng() % 5), static_cast<int>(i)});
    }
    auto by_score = [](const Item& a, const Item& b) { return a.score > b.score; };
    std::vector<Item> a = v, b = v;
    stable_merge_sort(a, by_score);
    stable_merge_sort(b, by_score);
    std::vector<int> seen;
    for (size_t i = 0; i < n; ++i) {
      EXPECT_EQ(a[i].tag, b[i].tag);
      seen.push_back(a[i].tag);
    }
    std::sort(seen.begin(), seen.end());
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(seen[i], static_cast<int>(i));
  }
}

TEST(Saturating, ClampsAtTheTop) {
  EXPECT_EQ(sat_add_u64(kU64Max, 1), kU64Max);
  EXPECT_EQ(sat_add_u64(kU64Max - 1, 1), kU64Max);
  EXPECT_EQ(sat_add_u64(2, 3), 5u);
  EXPECT_EQ(sat_mul_u64(kU64Max / 2 + 1, 2), kU64Max);
  EXPECT_EQ(sat_mul_u64(5, 7), 35u);
  EXPECT_EQ(sat_sub_u64(3, 5), 0u);
  EXPECT_EQ(sat_add_u32(4294967295u, 1), 4294967295u);
}

}  // namespace
}  // namespace zv
