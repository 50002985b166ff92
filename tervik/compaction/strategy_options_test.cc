// Level target sizes of the leveled strategy and the option entries both
// strategies give the key-value engine to store.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/coding.h"
#include "tervik/compaction/fifo.h"
#include "tervik/compaction/leveled.h"
#include "tervik/core/testing/panic_capture.h"

namespace tervik::compaction {
namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

Leveled leveled(std::vector<float> ratios, uint64_t target, uint8_t threshold) {
  LeveledOptions o;
  o.level_ratio_policy = std::move(ratios);
  o.target_size = target;
  o.l0_threshold = threshold;
  return Leveled(o);
}

TEST(LevelTargetSize, DefaultsGolden) {
  const Leveled l;
  const uint64_t expected[] = {268'435'456ull,         2'684'354'560ull,   26'843'545'600ull,
                               268'435'456'000ull,     2'684'354'560'000ull, 26'843'545'600'000ull};
  for (uint8_t c = 1; c <= 6; ++c) EXPECT_EQ(l.level_target_size(c), expected[c - 1]) << int(c);
}

TEST(LevelTargetSize, Cases) {
  struct Case {
    const char* name;
    Leveled strategy;
    uint8_t level;
    uint64_t expected;
  } cases[] = {
      {"empty policy multiplies by 10", leveled({}, 100, 1), 3, 10'000},
      {"last ratio repeats", leveled({2.0f, 3.0f}, 100, 1), 5, 100 * 2 * 3 * 3 * 3},
      {"ratios in order", leveled({2.0f, 0.5f, 4.0f}, 1000, 1), 4, 1000 * 2 * 2},
      {"fraction truncated toward zero", leveled({1.5f}, 3, 1), 2, 4},
      {"negative product gives 0", leveled({-2.0f}, 100, 1), 2, 0},
      {"nan gives 0", leveled({std::nanf("")}, 100, 1), 3, 0},
      {"2^64 and more saturate", leveled({1e10f}, 1ull << 40, 1), 3, kMax},
      {"infinity saturates", leveled({std::numeric_limits<float>::infinity()}, 1, 1), 2, kMax},
      {"level 1 product saturates instead of wrapping", leveled({10.0f}, kMax / 2 + 1, 4), 1, kMax},
      {"threshold 0 gives 0", leveled({10.0f}, 1 << 20, 0), 4, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(c.strategy.level_target_size(c.level), c.expected) << c.name;
}

TEST(LevelTargetSize, LevelZeroPanics) {
  EXPECT_EQ(testing::panic_message([] { (void)Leveled().level_target_size(0); }),
            "level_target_size does not apply to L0");
}

std::string f32_bytes(std::initializer_list<float> fs) {
  std::string out;
  for (float f : fs) zv::coding::put_f32_le(&out, f);
  return out;
}

TEST(StrategyConfig, LeveledDefaultsGolden) {
  const Leveled l;
  EXPECT_EQ(l.name(), "LeveledCompaction");
  const std::vector<ConfigEntry> expected = {
      {"leveled_l0_threshold", std::string("\x04", 1)},
      {"leveled_target_size", std::string("\x00\x00\x00\x04\x00\x00\x00\x00", 8)},
      {"leveled_level_ratio_policy", std::string("\x01\x00\x00\x20\x41", 5)},
  };
  EXPECT_EQ(l.config(), expected);
}

TEST(StrategyConfig, RatioListCountMatchesStoredEntries) {
  for (size_t n : {0u, 1u, 254u, 255u, 256u, 300u, 511u}) {
    std::vector<float> ratios;
    for (size_t i = 0; i < n; ++i) ratios.push_back(static_cast<float>(i) + 0.5f);
    const std::string stored = Leveled().with_level_ratio_policy(ratios).config()[2].second;
    const size_t count = std::min<size_t>(n, 255);
    ASSERT_EQ(stored.size(), 1 + 4 * count) << n;
    EXPECT_EQ(static_cast<uint8_t>(stored[0]), count) << n;
    for (size_t i = 0; i < count; ++i) {
      EXPECT_EQ(zv::coding::get_f32_le(stored.data() + 1 + 4 * i), ratios[i]) << n << " " << i;
    }
  }
}

TEST(StrategyConfig, WithLevelRatioPolicyReplacesOnlyTheList) {
  const Leveled base = leveled({10.0f}, 1234, 7);
  const Leveled changed = base.with_level_ratio_policy({2.0f, 8.0f});
  EXPECT_EQ(changed.options().level_ratio_policy, (std::vector<float>{2.0f, 8.0f}));
  EXPECT_EQ(changed.options().target_size, 1234u);
  EXPECT_EQ(changed.options().l0_threshold, 7);
  EXPECT_EQ(base.options().level_ratio_policy, (std::vector<float>{10.0f}));
  EXPECT_EQ(changed.config()[2].second, "\x02" + f32_bytes({2.0f, 8.0f}));
  EXPECT_EQ(changed.level_target_size(3), 7u * 1234 * 2 * 8);
}

TEST(StrategyConfig, FifoEntries) {
  const Fifo with_ttl(0x0102030405060708ull, 3600);
  EXPECT_EQ(with_ttl.name(), "FifoCompaction");
  const std::vector<ConfigEntry> expected_ttl = {
      {"fifo_limit", std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8)},
      {"fifo_ttl", std::string("\x01", 1)},
      {"fifo_ttl_seconds", std::string("\x10\x0e\x00\x00\x00\x00\x00\x00", 8)},
  };
  EXPECT_EQ(with_ttl.config(), expected_ttl);

  const Fifo without(5, std::nullopt);
  const std::vector<ConfigEntry> expected_none = {
      {"fifo_limit", std::string("\x05\x00\x00\x00\x00\x00\x00\x00", 8)},
      {"fifo_ttl", std::string("\x00", 1)},
      {"fifo_ttl_seconds", std::string(8, '\0')},
  };
  EXPECT_EQ(without.config(), expected_none);
  // A ttl of 0 is present (and stored as such) but never expires anything.
  EXPECT_EQ(Fifo(5, 0).config()[1].second, std::string("\x01", 1));
}

}  // namespace
}  // namespace tervik::compaction
