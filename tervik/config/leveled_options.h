// Settings of the leveled compaction strategy with their defaults; the
// strategy built from them lives with compaction. Plain value.
#pragma once

#include <cstdint>
#include <vector>

namespace tervik {

struct LeveledOptions {
  static constexpr float kDefaultLevelRatio = 10.0f;
  static constexpr uint64_t kDefaultTargetSize = 64ull * 1024 * 1024;
  static constexpr uint8_t kDefaultL0Threshold = 4;

  // Size ratio between consecutive levels, per level (last entry repeats).
  std::vector<float> level_ratio_policy{kDefaultLevelRatio};
  // Size at which a compaction's table writer starts a new table.
  uint64_t target_size = kDefaultTargetSize;
  // Level-0 run count from which level 0 is compacted.
  uint8_t l0_threshold = kDefaultL0Threshold;

  bool operator==(const LeveledOptions&) const = default;
};

}  // namespace tervik
