// The per-item filter an embedding may install through the tree
// configuration's CompactionFilterFactory: each merge compaction asks the
// factory for a fresh filter and shows it every live item it rewrites, which
// the filter keeps, turns into a tombstone, drops, or gives a new value. A
// filter is used by the one thread that runs its merge.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "tervik/config/compaction_filter_factory.h"
#include "tervik/core/error.h"
#include "tervik/core/internal_value.h"

namespace tervik {

class FilterAccessor;

// What becomes of one item. Kinds in tag order 0 to 4.
struct FilterVerdict {
  enum class Kind : uint8_t {
    kKeep = 0,             // written unchanged
    kToTombstone = 1,      // a tombstone with the item's key and seqno
    kToWeakTombstone = 2,  // a weak tombstone the same way
    kSetValue = 3,         // written with `value` instead (large ones separated)
    kDiscard = 4,          // only this version disappears, leaving no tombstone
  };

  Kind kind = Kind::kKeep;
  std::string value;  // kSetValue only

  static FilterVerdict keep() { return {}; }
  static FilterVerdict to_tombstone() { return {Kind::kToTombstone, {}}; }
  static FilterVerdict to_weak_tombstone() { return {Kind::kToWeakTombstone, {}}; }
  static FilterVerdict set_value(std::string v) { return {Kind::kSetValue, std::move(v)}; }
  static FilterVerdict discard() { return {Kind::kDiscard, {}}; }
};

class CompactionFilter {
 public:
  virtual ~CompactionFilter() = default;

  // Called for each version of type Value or Indirection that heads the
  // merge's stream (versions drained as shadowed and tombstones never come);
  // an Indirection item carries the encoded blob reference. An error fails
  // the merge.
  virtual TervikResult<FilterVerdict> filter_item(const InternalValue& item,
                                                  FilterAccessor& accessor,
                                                  const CompactionFilterContext& context) = 0;
  // Called once after a completed merge, before its result is installed; the
  // filter is released right after. Never called for a merge that fails or
  // stops.
  virtual void finish() {}
};

}  // namespace tervik
