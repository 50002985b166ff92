#include "src/runtime/hardware.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/log.h"

namespace zv {
namespace {

constexpr uint64_t kGiB = uint64_t{1} << 30;

TEST(HardwareTest, ProfileAndScoreFromMeasurements) {
  struct Case {
    const char* name;
    uint64_t processors;
    std::optional<uint64_t> memory;
    SimdLevel level;
    HardwareProfile profile;
    uint64_t cores;
    uint32_t score;
  } cases[] = {
      {"avx512 16GiB", 8, 16 * kGiB, SimdLevel::kAvx512, HardwareProfile::kEnterprise, 8, 8 + 32 + 10},
      {"avx512 just under 16GiB", 8, 16 * kGiB - 1, SimdLevel::kAvx512, HardwareProfile::kPerformance, 8,
       8 + 30 + 10},
      {"avx512 8GiB", 8, 8 * kGiB, SimdLevel::kAvx512, HardwareProfile::kPerformance, 8, 8 + 16 + 10},
      {"avx512 32GiB", 8, 32 * kGiB, SimdLevel::kAvx512, HardwareProfile::kEnterprise, 8, 82},
      {"avx2 64GiB", 16, 64 * kGiB, SimdLevel::kAvx2, HardwareProfile::kPerformance, 16, 16 + 128 + 5},
      {"avx2 8GiB", 4, 8 * kGiB, SimdLevel::kAvx2, HardwareProfile::kPerformance, 4, 25},
      {"avx2 4GiB", 4, 4 * kGiB, SimdLevel::kAvx2, HardwareProfile::kPerformance, 4, 4 + 8 + 5},
      {"avx2 3GiB", 4, 3 * kGiB, SimdLevel::kAvx2, HardwareProfile::kLowResource, 4, 4 + 6 + 5},
      {"avx512 3GiB", 4, 3 * kGiB + kGiB / 2, SimdLevel::kAvx512, HardwareProfile::kLowResource, 4, 4 + 6 + 10},
      {"scalar 64GiB", 2, 64 * kGiB, SimdLevel::kScalar, HardwareProfile::kLowResource, 2, 2 + 128 + 1},
      {"zero processors", 0, 8 * kGiB, SimdLevel::kAvx2, HardwareProfile::kPerformance, 1, 1 + 16 + 5},
      {"memory query failed", 4, std::nullopt, SimdLevel::kAvx512, HardwareProfile::kLowResource, 4, 4 + 2 + 10},
      // The score wraps in 32 bits: 2^31 GiB gives a memory term of 2^32.
      {"score wraps", 3, uint64_t{1} << 61, SimdLevel::kAvx2, HardwareProfile::kPerformance, 3, 3 + 0 + 5},
  };
  for (const Case& c : cases) {
    HardwareCapabilities h = HardwareCapabilities::from_measurements(c.processors, c.memory, c.level);
    EXPECT_EQ(h.profile, c.profile) << c.name;
    EXPECT_EQ(h.logical_cores, c.cores) << c.name;
    EXPECT_EQ(h.score, c.score) << c.name;
    EXPECT_EQ(h.total_memory_bytes, c.memory.value_or(kGiB)) << c.name;
    EXPECT_EQ(h.simd_level, c.level) << c.name;
  }
}

TEST(HardwareTest, LevelFromFeatures) {
  EXPECT_EQ(simd_level_from({false, false}), SimdLevel::kScalar);
  EXPECT_EQ(simd_level_from({true, false}), SimdLevel::kAvx2);
  EXPECT_EQ(simd_level_from({true, true}), SimdLevel::kAvx512);
  EXPECT_EQ(simd_level_from({false, true}), SimdLevel::kAvx512);
}

TEST(HardwareTest, DetectReportsThisMachine) {
  log::CaptureSink sink;
  HardwareCapabilities h = HardwareCapabilities::detect();
  EXPECT_EQ(h.simd_level, simd_level_from(detect_cpu_features()));
  EXPECT_EQ(h.logical_cores, logical_processor_count());
  std::string expected = std::string("Hardware Profile: ") + hardware_profile_name(h.profile) +
                         " | Cores: " + std::to_string(h.logical_cores) +
                         " | RAM: " + std::to_string(h.total_memory_bytes / kGiB) +
                         "GB | Score: " + std::to_string(h.score);
  ASSERT_EQ(sink.events().size(), 1u);
  EXPECT_EQ(sink.events()[0].message, expected);
  EXPECT_EQ(sink.events()[0].level, log::Level::kInfo);
  EXPECT_TRUE(HardwareCapabilities::init_global() == h);
  EXPECT_EQ(&HardwareCapabilities::init_global(), &HardwareCapabilities::init_global());
}

TEST(PrefetchModeTest, CellKeepsTheFirstMode) {
  struct Case {
    std::vector<PrefetchMode> sets;
    std::optional<PrefetchMode> kept;
  } cases[] = {
      {{}, std::nullopt},
      {{PrefetchMode::kDisabled, PrefetchMode::kEnabled}, PrefetchMode::kDisabled},
      {{PrefetchMode::kAuto, PrefetchMode::kDisabled, PrefetchMode::kEnabled}, PrefetchMode::kAuto},
      {{PrefetchMode::kEnabled}, PrefetchMode::kEnabled},
  };
  for (const Case& c : cases) {
    PrefetchModeCell cell;
    for (size_t i = 0; i < c.sets.size(); ++i) EXPECT_EQ(cell.init(c.sets[i]), i == 0);
    EXPECT_EQ(cell.get(), c.kept);
  }
}

TEST(PrefetchModeTest, GlobalFollowsEnvironmentUntilFirstOpen) {
  // Until a database stores its mode, every read consults the environment.
  ::setenv("ZIVIROR_PREFETCH", "auto", 1);
  EXPECT_EQ(current_prefetch_mode(), PrefetchMode::kAuto);
  ::setenv("ZIVIROR_PREFETCH", "enabled", 1);
  EXPECT_EQ(current_prefetch_mode(), PrefetchMode::kEnabled);
  ::unsetenv("ZIVIROR_PREFETCH");
  EXPECT_EQ(current_prefetch_mode(), PrefetchMode::kDisabled);
  init_global_prefetch_mode(PrefetchMode::kDisabled);
  init_global_prefetch_mode(PrefetchMode::kEnabled);
  ::setenv("ZIVIROR_PREFETCH", "enabled", 1);
  EXPECT_EQ(current_prefetch_mode(), PrefetchMode::kDisabled);
  ::unsetenv("ZIVIROR_PREFETCH");
}

}  // namespace
}  // namespace zv
