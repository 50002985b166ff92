// The process-wide values are built by whichever thread comes first and then
// read by all without locks; the prefetch cell keeps exactly one racing mode.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "src/runtime/distance_kernels.h"
#include "src/runtime/filter_bitset.h"
#include "src/runtime/hardware.h"

namespace zv {
namespace {

constexpr int kThreadCount = 8;

TEST(RuntimeConcurrentTest, FirstUseFromManyThreadsBuildsOneValue) {
  std::vector<const DistanceKernels*> tables(kThreadCount);
  std::vector<const HardwareCapabilities*> caps(kThreadCount);
  std::vector<const FilterBitset*> unfiltered(kThreadCount);
  std::vector<float> results(kThreadCount);
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreadCount; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      tables[t] = &DistanceKernels::init_global();
      caps[t] = &HardwareCapabilities::init_global();
      unfiltered[t] = &FilterBitset::unfiltered();
      std::vector<float> v(37, 0.5f);
      results[t] = tables[t]->dot(v.data(), v.size(), v.data(), v.size());
    });
  }
  go.store(true);
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreadCount; ++t) {
    EXPECT_EQ(tables[t], tables[0]);
    EXPECT_EQ(caps[t], caps[0]);
    EXPECT_EQ(unfiltered[t], unfiltered[0]);
    EXPECT_TRUE(unfiltered[t]->is_unfiltered());
    EXPECT_EQ(results[t], 37 * 0.25f);
  }
}

TEST(RuntimeConcurrentTest, RacingPrefetchSetsKeepOneMode) {
  for (int round = 0; round < 50; ++round) {
    PrefetchModeCell cell;
    std::atomic<int> winners{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreadCount; ++t)
      threads.emplace_back([&, t] {
        if (cell.init(static_cast<PrefetchMode>(t % 3))) winners.fetch_add(1);
        EXPECT_TRUE(cell.get().has_value());
      });
    for (auto& th : threads) th.join();
    EXPECT_EQ(winners.load(), 1);
    ASSERT_TRUE(cell.get().has_value());
  }
}

}  // namespace
}  // namespace zv
