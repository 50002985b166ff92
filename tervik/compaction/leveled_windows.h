// The two window searches of the leveled strategy over a level's first run
// (current) and the next level's first run (next). Both answer what testing
// every window in the strategy's order would answer, from prefix counts and
// binary searches instead: O((n + m) log(n + m)) per call. Pure functions of
// immutable runs.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "tervik/version/run.h"

namespace tervik::compaction::leveled {

// The first window of consecutive tables of `current`, sizes from the whole
// run down to one table, each size left to right, none of whose tables is
// hidden and whose key range no table of `next` (when given) overlaps.
std::optional<std::span<const Table>> trivial_window(const Run& current, const Run* next,
                                                     const HiddenTableSet& hidden);

struct MergeCandidate {
  std::span<const Table> window;   // consecutive tables of next
  std::span<const Table> pull_in;  // the tables of current inside the window's range
  uint64_t total_bytes = 0;
};

// The cheapest merge of a window of `next` with the tables of `current` that
// lie inside its key range, as Run::window_candidate prices each window.
// Windows are tried by size from one table up, each size left to right, and
// the first window over `window_byte_limit` bytes ends the search; among
// equal costs the first tried wins.
std::optional<MergeCandidate> cheapest_merge(const Run& current, const Run& next,
                                             const HiddenTableSet& hidden,
                                             uint64_t window_byte_limit);

}  // namespace tervik::compaction::leveled
