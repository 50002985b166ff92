// What a compaction strategy decides for one tree: do nothing, move tables
// unchanged into a level, merge tables into new tables of a level, or drop
// tables. Plain values, built by strategies and carried out by the
// compaction run.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace tervik::compaction {

// Table ids in ascending order without duplicates.
using TableIdSet = std::vector<uint64_t>;

// Sorts and deduplicates.
TableIdSet make_id_set(std::vector<uint64_t> ids);

// One compaction task.
struct Input {
  TableIdSet table_ids;
  // Index of the level that receives the tables.
  uint8_t dest_level = 0;
  // The level whose per-level policies the written tables take; differs from
  // dest_level while the levels are shifted.
  uint8_t canonical_level = 0;
  // Size at which the compaction's table writer starts a new table.
  uint64_t target_size = 0;

  bool operator==(const Input&) const = default;
};

struct DoNothing {
  bool operator==(const DoNothing&) const = default;
};
// The tables keep their files and are placed into input.dest_level.
struct Move {
  Input input;
  bool operator==(const Move&) const = default;
};
// The tables are merged and rewritten into new tables of input.dest_level.
struct Merge {
  Input input;
  bool operator==(const Merge&) const = default;
};
// The tables are removed.
struct Drop {
  TableIdSet table_ids;
  bool operator==(const Drop&) const = default;
};

// Alternatives in tag order 0 to 3.
using Choice = std::variant<DoNothing, Move, Merge, Drop>;

// "[1, 2, 3]".
std::string ids_string(std::span<const uint64_t> ids);

// "DoNothing", "Move([1, 2] -> 6, canonical 1, target 1024)", "Drop([3])".
std::string debug_string(const Choice& choice);

}  // namespace tervik::compaction
