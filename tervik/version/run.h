// A run: a shared, immutable, non-empty list of tables sorted by smallest key
// whose key ranges do not overlap; and the queries compaction asks of runs:
// which tables overlap a key range, and which tables of another run a window
// of tables contains. Immutable once built; safe to share between threads.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "tervik/core/slice.h"
#include "tervik/version/table_attributes.h"

namespace tervik {

inline constexpr const char* kFatalRunEmpty = "run should never be empty";
inline constexpr const char* kFatalShouldBeInRange = "should be in range";

// The answer of the window query. The spans point into the two runs and are
// valid while those runs are held.
struct WindowCandidate {
  std::span<const Table> window;
  std::span<const Table> contained;
  float ratio = 0;           // window bytes / contained bytes
  uint64_t total_bytes = 0;  // window bytes + contained bytes
};

// Inclusive (first, last) indexes of the tables intersecting [low, high],
// both bounds inclusive; none when no table does. Two binary searches; the
// tables must be sorted and disjoint.
std::optional<std::pair<size_t, size_t>> range_overlap_indexes(std::span<const Table> tables,
                                                               const UserKey& low,
                                                               const UserKey& high);

class Run {
 public:
  // A run without tables is the fatal error "run should never be empty".
  explicit Run(std::vector<Table> tables);

  const std::vector<Table>& tables() const { return tables_; }
  size_t size() const { return tables_.size(); }
  const Table& operator[](size_t i) const { return tables_[i]; }
  const UserKey& min_key() const { return table_min_key(tables_.front()); }
  const UserKey& max_key() const { return table_max_key(tables_.back()); }

  std::optional<std::pair<size_t, size_t>> range_overlap_indexes(const UserKey& low,
                                                                 const UserKey& high) const {
    return tervik::range_overlap_indexes(tables_, low, high);
  }

  // The tables of `other` lying wholly inside the key range of `window` (a
  // non-empty slice of consecutive tables of one run), with the byte cost of
  // merging them; none when a window or contained table is hidden, when none
  // is contained, or when the contained tables hold no bytes.
  static std::optional<WindowCandidate> window_candidate(const HiddenTableSet& hidden,
                                                         const Run& other,
                                                         std::span<const Table> window);

 private:
  std::vector<Table> tables_;
};

using RunHandle = std::shared_ptr<const Run>;

}  // namespace tervik
