// A level of a version: an ordered list of runs (in level 0 the newest run
// first), with the key range and the table ids it covers, and the run packing
// that every version transform applies to a level's runs. Immutable once
// built; safe to share between threads.
#pragma once

#include <cstddef>
#include <memory>
#include <unordered_set>
#include <utility>
#include <vector>

#include "tervik/version/run.h"

namespace tervik {

// An inclusive pair of user keys; two empty keys for a level without tables.
struct KeyBounds {
  UserKey min;
  UserKey max;
  bool operator==(const KeyBounds&) const = default;
};

class Level {
 public:
  Level() = default;
  explicit Level(std::vector<RunHandle> runs) : runs_(std::move(runs)) {}

  const std::vector<RunHandle>& runs() const { return runs_; }
  size_t run_count() const { return runs_.size(); }
  bool empty() const { return runs_.empty(); }
  size_t table_count() const;

  // The smallest min key and the largest max key of its runs (on equal keys
  // the earlier run's); the empty range when the level has no runs.
  KeyBounds aggregate_key_range() const;
  // The ids of every table of every run.
  std::unordered_set<uint64_t> list_ids() const;
  // The ids of the tables of every run that intersect [low, high] (both
  // inclusive), run by run in key order.
  std::vector<uint64_t> overlapping_table_ids(const UserKey& low, const UserKey& high) const;

 private:
  std::vector<RunHandle> runs_;
};

using LevelHandle = std::shared_ptr<const Level>;

// Packs the runs of one level (as table lists, in level order): each table
// goes right after the last run holding a table that overlaps it, or into
// the first run when none does; runs are kept sorted by smallest key. Fewer
// than two runs are returned unchanged. Never yields more runs than given.
std::vector<std::vector<Table>> optimize_runs(std::vector<std::vector<Table>> runs);

// Packs the runs and wraps them as a level (empty lists are dropped).
LevelHandle make_level(std::vector<std::vector<Table>> runs);

}  // namespace tervik
