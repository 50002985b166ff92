// The leveled compaction strategy: levels 1 to 6 grow by the ratio policy
// from a level-1 target of l0_threshold x target_size, level 0 is compacted
// once it holds l0_threshold tables, and the most oversized level is pushed
// down (whole windows moved where they overlap nothing, else the cheapest
// merge). Levels are measured as if the first filled level were level 1.
// Immutable; safe to share and to call from several threads.
#pragma once

#include <cstdint>
#include <vector>

#include "tervik/compaction/strategy.h"
#include "tervik/config/leveled_options.h"

namespace tervik::compaction {

inline constexpr const char* kFatalSevenLevels = "should have exactly 7 levels";
inline constexpr const char* kFatalTargetOfL0 = "level_target_size does not apply to L0";
inline constexpr const char* kFatalOneRun = "should have exactly one run";

class Leveled final : public CompactionStrategy {
 public:
  static constexpr std::string_view kName = "LeveledCompaction";
  static constexpr std::string_view kKeyL0Threshold = "leveled_l0_threshold";
  static constexpr std::string_view kKeyTargetSize = "leveled_target_size";
  static constexpr std::string_view kKeyRatioPolicy = "leveled_level_ratio_policy";
  // A merge search stops at the first window larger than this many targets.
  static constexpr uint64_t kMergeWindowTargets = 50;

  // The defaults: ratios [10.0], target 64 MiB, threshold 4.
  Leveled() = default;
  explicit Leveled(LeveledOptions options) : options_(std::move(options)) {}

  // The same strategy with its ratio list replaced.
  Leveled with_level_ratio_policy(std::vector<float> ratios) const;

  const LeveledOptions& options() const { return options_; }

  // Target size in bytes of canonical level c >= 1 (0 is a fatal error).
  uint64_t level_target_size(uint8_t canonical_level) const;

  std::string_view name() const override { return kName; }
  // The ratio entry stores at most 255 ratios with the count that matches
  // them; a longer list keeps its first 255 (no decision reads beyond the
  // fifth).
  std::vector<ConfigEntry> config() const override;
  Choice choose(const Version& version, const TreeConfig& config,
                const HiddenTableSet& hidden) const override;

 private:
  LeveledOptions options_;
};

}  // namespace tervik::compaction
