// Shows one item of a merge compaction to the run's filter and turns the
// verdict into what the merge writes; a new value of at least the tree's
// separation threshold goes into the run's blob files and is replaced by its
// indirection. Also creates the filter from the factory. Used by the one
// thread that runs the merge.
#pragma once

#include <memory>
#include <string>

#include "tervik/compaction/filter_accessor.h"
#include "tervik/core/value_type.h"

namespace tervik::compaction {

inline constexpr const char* kWorkerLogTarget = "tervik::compaction::worker";

struct FilterOutcome {
  enum class Kind : uint8_t { kKeep, kDiscard, kReplace };
  Kind kind = Kind::kKeep;
  // kReplace: the item is written with this type and value.
  ValueType value_type = ValueType::kValue;
  std::string value;

  bool operator==(const FilterOutcome&) const = default;
};

// Asks the factory for the run's filter (traced with the factory's name).
std::unique_ptr<CompactionFilter> create_filter(CompactionFilterFactory& factory,
                                                const CompactionFilterContext& context);

// Keeps the item when there is no filter. Errors of the filter, and of
// creating, writing or rotating a blob file, are returned unchanged; a blob
// file that cannot be created leaves the writer slot empty.
TervikResult<FilterOutcome> run_filter(FilterAccessor& accessor, const InternalValue& item);

}  // namespace tervik::compaction
