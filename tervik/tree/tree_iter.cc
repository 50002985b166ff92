#include "tervik/tree/tree_iter.h"

#include <limits>
#include <vector>

#include "tervik/memtable/memtable.h"
#include "tervik/tree/run_reader.h"
#include "tervik/tree/tree.h"
#include "tervik/version/table_attributes.h"

namespace tervik {

namespace {

// A bound with its key copied once into a buffer of the iterator's own.
Bound own(const Bound& b) {
  if (b.kind == BoundKind::kUnbounded) return b;
  return Bound{b.kind, Slice(b.key.view())};
}

}  // namespace

bool overlaps_with_bounds(const KeyBounds& bounds, const KeyRange& range) {
  bool lower = true;
  switch (range.lo.kind) {
    case BoundKind::kIncluded: lower = range.lo.key.compare(bounds.max) <= 0; break;
    case BoundKind::kExcluded: lower = range.lo.key.compare(bounds.max) < 0; break;
    case BoundKind::kUnbounded: break;
  }
  bool upper = true;
  switch (range.hi.kind) {
    case BoundKind::kIncluded: upper = range.hi.key.compare(bounds.min) >= 0; break;
    case BoundKind::kExcluded: upper = range.hi.key.compare(bounds.min) > 0; break;
    case BoundKind::kUnbounded: break;
  }
  return lower && upper;
}

TreeIter TreeIter::create_range(SuperVersion state, const KeyRange& range, SeqNo seqno) {
  return assemble(std::move(state), KeyRange{own(range.lo), own(range.hi)}, seqno);
}

TreeIter TreeIter::create_prefix(SuperVersion state, std::string_view start) {
  return assemble(std::move(state), KeyRange{Bound::included(Slice(start)), Bound::unbounded()},
                  std::numeric_limits<SeqNo>::max());
}

TreeIter TreeIter::assemble(SuperVersion state, KeyRange bounds, SeqNo seqno) {
  std::vector<Box> sources;
  for (const LevelHandle& level : state.version.levels()) {
    for (const RunHandle& run : level->runs()) {
      if (run->size() == 0) continue;
      if (run->size() == 1) {
        const Table& table = (*run)[0];
        if (!overlaps_with_bounds(KeyBounds{table_min_key(table), table_max_key(table)}, bounds)) continue;
        sources.push_back(std::make_unique<SeqnoFilter<TableIter>>(table.range(bounds.lo, bounds.hi), seqno));
      } else if (std::optional<RunReader> reader = RunReader::create(run, bounds)) {
        sources.push_back(std::make_unique<SeqnoFilter<RunReader>>(std::move(*reader), seqno));
      }
    }
  }
  // The memtable ranges take user-key bounds and compare every version of a
  // bound key alike, as the internal-key bounds (k, max) / (k, 0) would.
  for (const auto& sealed : state.sealed_memtables->memtables()) {
    sources.push_back(std::make_unique<MemtableRange>(sealed->range(bounds, seqno)));
  }
  sources.push_back(std::make_unique<MemtableRange>(state.active_memtable->range(bounds, seqno)));
  auto iter = std::make_unique<Pipeline>(Merger<Box>(std::move(sources)));
  return TreeIter(std::move(state), std::move(iter));
}

KvIter Tree::iter(SeqNo snapshot) const {
  return KvIter(TreeIter::create_range(get_version_for_snapshot(snapshot), KeyRange::all(), snapshot));
}

KvItem KvIter::pair_of(ReadItem item) {
  if (!item) return std::nullopt;
  if (!item->ok()) return KvItem(zv::make_unexpected(std::move(*item).error()));
  InternalValue& v = **item;
  return KvItem(KvPair(std::move(v.key.user_key), std::move(v.value)));
}

}  // namespace tervik
