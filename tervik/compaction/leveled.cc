#include "tervik/compaction/leveled.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "platform/coding.h"
#include "platform/panic.h"
#include "tervik/compaction/leveled_windows.h"

namespace tervik::compaction {

namespace {

constexpr size_t kLastLevel = kVersionLevelCount - 1;
constexpr double kNextLevelEmptyScore = 99.99;
constexpr size_t kMaxStoredRatios = 255;

uint64_t saturating_mul(uint64_t a, uint64_t b) {
  uint64_t out = 0;
  return __builtin_mul_overflow(a, b, &out) ? std::numeric_limits<uint64_t>::max() : out;
}

// Truncation toward zero; NaN and negatives give 0, 2^64 and more saturate.
uint64_t f32_to_u64(float f) {
  if (std::isnan(f) || f <= 0.0f) return 0;
  if (f >= 18446744073709551616.0f) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(f);
}

TableIdSet ids_of(const Level& level) {
  std::vector<uint64_t> ids;
  ids.reserve(level.table_count());
  for (const RunHandle& r : level.runs()) {
    for (const Table& t : r->tables()) ids.push_back(table_id(t));
  }
  return make_id_set(std::move(ids));
}

bool any_hidden(const Level& level, const HiddenTableSet& hidden) {
  if (hidden.empty()) return false;
  for (const RunHandle& r : level.runs()) {
    for (const Table& t : r->tables()) {
      if (hidden.contains(table_id(t))) return true;
    }
  }
  return false;
}

// Bytes of the level's tables that no compaction hides.
uint64_t visible_size(const Level& level, const HiddenTableSet& hidden) {
  uint64_t bytes = 0;
  for (const RunHandle& r : level.runs()) {
    for (const Table& t : r->tables()) {
      if (hidden.empty() || !hidden.contains(table_id(t))) bytes += table_file_size(t);
    }
  }
  return bytes;
}

std::vector<uint64_t> ids_of(std::span<const Table> tables) {
  std::vector<uint64_t> ids;
  ids.reserve(tables.size());
  for (const Table& t : tables) ids.push_back(table_id(t));
  return ids;
}

}  // namespace

Leveled Leveled::with_level_ratio_policy(std::vector<float> ratios) const {
  LeveledOptions o = options_;
  o.level_ratio_policy = std::move(ratios);
  return Leveled(std::move(o));
}

uint64_t Leveled::level_target_size(uint8_t canonical_level) const {
  ZV_CHECK(canonical_level != 0, kFatalTargetOfL0);
  const uint64_t base = saturating_mul(options_.l0_threshold, options_.target_size);
  if (canonical_level == 1) return base;
  const std::vector<float>& ratios = options_.level_ratio_policy;
  float size = static_cast<float>(base);
  for (size_t i = 0; i + 2 <= canonical_level; ++i) {
    const float ratio = ratios.empty() ? LeveledOptions::kDefaultLevelRatio
                                       : ratios[std::min(i, ratios.size() - 1)];
    size *= ratio;
  }
  return f32_to_u64(size);
}

std::vector<ConfigEntry> Leveled::config() const {
  std::vector<ConfigEntry> entries;
  entries.emplace_back(std::string(kKeyL0Threshold), std::string(1, static_cast<char>(options_.l0_threshold)));
  entries.emplace_back(std::string(kKeyTargetSize), zv::coding::u64_le_bytes(options_.target_size));
  const size_t count = std::min(options_.level_ratio_policy.size(), kMaxStoredRatios);
  std::string ratios;
  zv::coding::put_u8(&ratios, static_cast<uint8_t>(count));
  for (size_t i = 0; i < count; ++i) zv::coding::put_f32_le(&ratios, options_.level_ratio_policy[i]);
  entries.emplace_back(std::string(kKeyRatioPolicy), std::move(ratios));
  return entries;
}

Choice Leveled::choose(const Version& version, const TreeConfig& /*config*/,
                       const HiddenTableSet& hidden) const {
  const std::vector<LevelHandle>& levels = version.levels();
  ZV_CHECK(levels.size() == kVersionLevelCount, kFatalSevenLevels);
  const Level& l0 = *levels[0];
  auto has_runs = [&](size_t i) { return !levels[i]->empty(); };
  auto input = [&](TableIdSet ids, size_t dest, size_t canonical) {
    return Input{std::move(ids), static_cast<uint8_t>(dest), static_cast<uint8_t>(canonical),
                 options_.target_size};
  };

  // A lone level-0 run above or below everything in the last level goes
  // straight down, whatever is hidden.
  if (l0.run_count() == 1 &&
      std::none_of(levels.begin() + 1, levels.begin() + kLastLevel,
                   [](const LevelHandle& l) { return !l->empty(); })) {
    const KeyBounds last = levels[kLastLevel]->aggregate_key_range();
    const KeyBounds first = l0.aggregate_key_range();
    if (last.max < first.min || last.min > first.max) {
      return Move{input(ids_of(l0), kLastLevel, 1)};
    }
  }

  // The canonical level 1: the first filled level, or the empty level above
  // it once every filled level is over its target.
  size_t l1 = kLastLevel;
  for (size_t i = 1; i <= kLastLevel; ++i) {
    if (has_runs(i)) {
      l1 = i;
      break;
    }
  }
  std::array<uint64_t, kVersionLevelCount> sizes{};
  bool any_filled = false;
  for (size_t i = 1; i <= kLastLevel; ++i) {
    if (!has_runs(i)) continue;
    any_filled = true;
    sizes[i] = visible_size(*levels[i], hidden);
  }
  size_t shift = l1 - 1;
  if (l1 >= 2 && any_filled) {
    bool all_over = true;
    for (size_t i = 1; i <= kLastLevel && all_over; ++i) {
      if (has_runs(i) && !(sizes[i] > level_target_size(static_cast<uint8_t>(i - shift)))) {
        all_over = false;
      }
    }
    if (all_over) {
      --l1;
      --shift;
    }
  }
  const Level& canonical_l1 = *levels[l1];

  // Trivial move of level 0 into a canonical level 1 of one run it does not
  // overlap.
  if (l0.run_count() == 1 && !any_hidden(l0, hidden) && canonical_l1.run_count() == 1 &&
      !any_hidden(canonical_l1, hidden)) {
    const KeyBounds range = l0.aggregate_key_range();
    if (!canonical_l1.runs()[0]->range_overlap_indexes(range.min, range.max)) {
      return Move{input(ids_of(l0), l1, 1)};
    }
  }

  std::array<double, kVersionLevelCount> scores{};
  const size_t l0_tables = l0.table_count();
  if (l0_tables >= options_.l0_threshold) {
    scores[0] = static_cast<double>(l0_tables) / static_cast<double>(options_.l0_threshold);
  }
  for (size_t i = 1; i <= kLastLevel; ++i) {
    if (!has_runs(i)) continue;
    const uint64_t target = level_target_size(static_cast<uint8_t>(i - shift));
    if (sizes[i] <= target) continue;
    scores[i] = (i < kLastLevel && !has_runs(i + 1))
                    ? kNextLevelEmptyScore
                    : static_cast<double>(sizes[i]) / static_cast<double>(target);
  }
  scores[kLastLevel] = 0.0;  // the last level is never compacted further

  // Equal scores go to the deeper level; a NaN level-0 score (threshold 0)
  // gives way to level 1.
  size_t chosen = 0;
  double best = scores[0];
  for (size_t i = 1; i < kLastLevel; ++i) {
    if (!(best > scores[i])) {
      best = scores[i];
      chosen = i;
    }
  }
  if (!(best > 0.0) || best < 1.0) return DoNothing{};

  if (chosen == 0) {
    if (any_hidden(l0, hidden) || any_hidden(canonical_l1, hidden)) return DoNothing{};
    const KeyBounds range = l0.aggregate_key_range();
    std::vector<uint64_t> overlapped = canonical_l1.overlapping_table_ids(range.min, range.max);
    const bool move = overlapped.empty() && l0.run_count() == 1;
    TableIdSet ids = ids_of(l0);
    ids.insert(ids.end(), overlapped.begin(), overlapped.end());
    Input in = input(make_id_set(std::move(ids)), l1, 1);
    if (move) return Move{std::move(in)};
    return Merge{std::move(in)};
  }

  ZV_CHECK(has_runs(chosen), kFatalOneRun);
  const Run& current = *levels[chosen]->runs()[0];
  const Run* next = has_runs(chosen + 1) ? levels[chosen + 1]->runs()[0].get() : nullptr;
  const size_t dest = chosen + 1;
  const size_t canonical = dest - shift;

  if (auto window = leveled::trivial_window(current, next, hidden)) {
    Input in = input(make_id_set(ids_of(*window)), dest, canonical);
    if (levels[chosen]->run_count() == 1) return Move{std::move(in)};
    return Merge{std::move(in)};
  }
  if (next == nullptr) return DoNothing{};
  const auto candidate = leveled::cheapest_merge(
      current, *next, hidden, saturating_mul(kMergeWindowTargets, options_.target_size));
  if (!candidate) return DoNothing{};
  std::vector<uint64_t> ids = ids_of(candidate->window);
  for (const Table& t : candidate->pull_in) ids.push_back(table_id(t));
  return Merge{input(make_id_set(std::move(ids)), dest, canonical)};
}

}  // namespace tervik::compaction
