// Sequential reading of a stretch of a run's tables, from the table `lo` to
// the table `hi` (inclusive), one table scanner (and one open file) at a
// time: the input compaction reads a run with. Forward only; one thread at a
// time.
#pragma once

#include <cstddef>
#include <optional>

#include "tervik/core/error.h"
#include "tervik/core/read_item.h"
#include "tervik/table/table_scanner.h"
#include "tervik/version/run.h"

namespace tervik {

class RunScanner final : public ItemSource {
 public:
  // Opens the table `lo` at once; an error opening it is returned here.
  // Indexes outside the run panic ("should exist").
  static TervikResult<RunScanner> create(RunHandle run, size_t lo, size_t hi);

  RunScanner(RunScanner&&) = default;
  RunScanner& operator=(RunScanner&&) = default;

  // The entries of the tables lo..hi in order. An error opening the next
  // table is returned once; the scanner then ends.
  ReadItem next() override;

 private:
  RunScanner(size_t lo, size_t hi, RunHandle run, TableScanner scanner)
      : lo_(lo), hi_(hi), run_(std::move(run)), scanner_(std::move(scanner)) {}

  size_t lo_;
  size_t hi_;
  RunHandle run_;
  std::optional<TableScanner> scanner_;
};

}  // namespace tervik
