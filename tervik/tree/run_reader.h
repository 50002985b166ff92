// A run read as one sorted source within a scan's bounds: the run is cut to
// the tables that may hold keys within the bounds by two binary searches, the
// first and last of them are read through bounded table iterators, and the
// tables between them are opened one at a time as an end reaches them. Read
// from both ends in any interleaving; at most two table iterators are open.
// Stepped by one thread at a time; holding it keeps the run's tables alive.
#pragma once

#include <cstddef>
#include <optional>

#include "tervik/core/key_range.h"
#include "tervik/core/read_item.h"
#include "tervik/table/table_iter.h"
#include "tervik/version/run.h"

namespace tervik {

inline constexpr const char* kFatalEmptyLevelReader = "level reader cannot read empty level";

class RunReader final : public DoubleEndedSource {
 public:
  // None when no table of the run can hold a key within `bounds`. Reads no
  // block. A run without tables panics.
  static std::optional<RunReader> create(RunHandle run, const KeyRange& bounds);

  RunReader(RunReader&&) = default;
  RunReader& operator=(RunReader&&) = default;

  ReadItem next() override;
  ReadItem next_back() override;

  // The index range the bounds cut the run to (inclusive), as created.
  size_t first() const { return first_; }
  size_t last() const { return last_; }
  // How many table iterators this reader has created so far.
  size_t tables_opened() const { return opened_; }

 private:
  RunReader(RunHandle run, size_t lo, size_t hi, const KeyRange& bounds);
  TableIter open_whole(size_t index);

  RunHandle run_;
  size_t lo_;
  size_t hi_;
  std::optional<TableIter> lo_reader_;
  std::optional<TableIter> hi_reader_;
  size_t first_;
  size_t last_;
  size_t opened_ = 0;
};

}  // namespace tervik
