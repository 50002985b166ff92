// The two window searches against the plain definition: every window tested
// one by one in the strategy's order (the merge search through
// Run::window_candidate), over random runs, sizes and hidden sets.
#include <gtest/gtest.h>

#include <random>

#include "platform/testing/temp_dir.h"
#include "tervik/compaction/leveled_windows.h"
#include "tervik/compaction/testing/strategy_tables.h"

namespace tervik::compaction::leveled {
namespace {

constexpr int kKeys = 20;

std::optional<std::span<const Table>> reference_trivial(const Run& current, const Run* next,
                                                        const HiddenTableSet& hidden) {
  const size_t n = current.size();
  for (size_t k = n; k >= 1; --k) {
    for (size_t s = 0; s + k <= n; ++s) {
      std::span<const Table> w(current.tables().data() + s, k);
      bool ok = true;
      for (const Table& t : w) ok = ok && !hidden.contains(table_id(t));
      if (ok && next != nullptr) {
        ok = !next->range_overlap_indexes(table_min_key(w.front()), table_max_key(w.back()));
      }
      if (ok) return w;
    }
  }
  return std::nullopt;
}

std::optional<WindowCandidate> reference_merge(const Run& current, const Run& next,
                                               const HiddenTableSet& hidden, uint64_t limit) {
  std::optional<WindowCandidate> best;
  for (size_t k = 1; k <= next.size(); ++k) {
    for (size_t s = 0; s + k <= next.size(); ++s) {
      std::span<const Table> w(next.tables().data() + s, k);
      uint64_t bytes = 0;
      for (const Table& t : w) bytes += table_file_size(t);
      if (bytes > limit) return best;
      auto c = Run::window_candidate(hidden, current, w);
      if (c && (!best || c->total_bytes < best->total_bytes)) best = c;
    }
  }
  return best;
}

bool same(std::span<const Table> a, std::span<const Table> b) {
  return a.data() == b.data() && a.size() == b.size();
}

class WindowSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tervik::testing::StrategyTables maker(dir_.path());
    std::mt19937_64 rng(7);
    char lo[8];
    char hi[8];
    for (int i = 0; i < kKeys; ++i) {
      for (int j = i; j < kKeys; ++j) {
        std::snprintf(lo, sizeof(lo), "k%02d", i);
        std::snprintf(hi, sizeof(hi), "k%02d", j);
        // Few distinct sizes, so that equal costs are common.
        pool_[i][j] = maker.make(i * kKeys + j + 1, lo, hi, rng() % 2 == 0 ? 1 : 40);
      }
    }
  }

  // Disjoint tables over the key grid: random gaps and lengths.
  tervik::Run random_run(std::mt19937_64& rng) {
    std::vector<Table> tables;
    int pos = static_cast<int>(rng() % 3);
    while (pos < kKeys) {
      const int len = 1 + static_cast<int>(rng() % 3);
      const int end = std::min(kKeys - 1, pos + len - 1);
      tables.push_back(*pool_[pos][end]);
      pos = end + 1 + static_cast<int>(rng() % 3);
    }
    if (tables.empty()) tables.push_back(*pool_[0][0]);
    return tervik::Run(std::move(tables));
  }

  zv::testing::TempDir dir_;
  std::optional<Table> pool_[kKeys][kKeys];
};

TEST_F(WindowSearchTest, MatchesWindowByWindowSearch) {
  std::mt19937_64 rng(42);
  int trivial_found = 0;
  int merge_found = 0;
  for (int trial = 0; trial < 4000; ++trial) {
    const tervik::Run current = random_run(rng);
    const tervik::Run next = random_run(rng);
    HiddenTableSet hidden;
    if (trial % 3 != 0) {
      for (const tervik::Run* r : {&current, &next}) {
        for (const Table& t : r->tables()) {
          if (rng() % 8 == 0) hidden.insert(table_id(t));
        }
      }
    }
    const uint64_t limits[] = {0, 150, 400, 1000, UINT64_MAX};
    const uint64_t limit = limits[rng() % 5];

    const tervik::Run* next_or_none = trial % 5 == 0 ? nullptr : &next;
    const auto fast_t = trivial_window(current, next_or_none, hidden);
    const auto ref_t = reference_trivial(current, next_or_none, hidden);
    ASSERT_EQ(fast_t.has_value(), ref_t.has_value()) << "trial " << trial;
    if (fast_t) {
      ASSERT_TRUE(same(*fast_t, *ref_t)) << "trial " << trial;
      ++trivial_found;
    }

    const auto fast_m = cheapest_merge(current, next, hidden, limit);
    const auto ref_m = reference_merge(current, next, hidden, limit);
    ASSERT_EQ(fast_m.has_value(), ref_m.has_value()) << "trial " << trial;
    if (fast_m) {
      ASSERT_TRUE(same(fast_m->window, ref_m->window)) << "trial " << trial;
      ASSERT_TRUE(same(fast_m->pull_in, ref_m->contained)) << "trial " << trial;
      ASSERT_EQ(fast_m->total_bytes, ref_m->total_bytes) << "trial " << trial;
      ++merge_found;
    }
  }
  // Both outcomes occur often enough for the comparison to mean something.
  EXPECT_GT(trivial_found, 1000);
  EXPECT_LT(trivial_found, 3900);
  EXPECT_GT(merge_found, 1000);
  EXPECT_LT(merge_found, 3900);
}

}  // namespace
}  // namespace tervik::compaction::leveled
