// Range and prefix scans of a tree at a snapshot: one source per single-table
// run (a bounded table iterator), per longer run (a run reader), per sealed
// memtable and for the active memtable, each hiding entries at or above the
// snapshot, merged, reduced to the newest version of each key and rid of
// deletions; read from both ends. A TreeIter reads one fixed super version,
// which it holds (and with it the memtables and tables its sources read).
// Stepped by one thread at a time.
#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "tervik/core/key_range.h"
#include "tervik/core/read_item.h"
#include "tervik/merge/merger.h"
#include "tervik/merge/mvcc_stream.h"
#include "tervik/version/level.h"
#include "tervik/version/super_version.h"

namespace tervik {

// True when a table or run holding the keys [bounds.min, bounds.max] may hold
// a key within `range`. Keys compare as bytes.
bool overlaps_with_bounds(const KeyBounds& bounds, const KeyRange& range);

class TreeIter {
 public:
  // The keys within `range` as of snapshot `seqno` (entries numbered below it
  // are visible). Reads no table block and cannot fail.
  static TreeIter create_range(SuperVersion state, const KeyRange& range, SeqNo seqno);
  // Every key from `start` on, each at its newest version whatever its
  // sequence number. No upper bound: the caller stops where its prefix ends.
  static TreeIter create_prefix(SuperVersion state, std::string_view start);

  TreeIter(TreeIter&&) = default;
  TreeIter& operator=(TreeIter&&) = default;

  ReadItem next() { return iter_->next(); }
  ReadItem next_back() { return iter_->next_back(); }

  // The super version read.
  const SuperVersion& state() const { return state_; }

 private:
  using Box = std::unique_ptr<DoubleEndedSource>;
  using Pipeline = TombstoneFilter<Merger<Box>>;

  // Builds over bounds whose keys the iterator already owns.
  static TreeIter assemble(SuperVersion state, KeyRange bounds, SeqNo seqno);
  TreeIter(SuperVersion state, std::unique_ptr<Pipeline> iter)
      : state_(std::move(state)), iter_(std::move(iter)) {}

  // Declared first so that the iterator goes before the state it reads.
  SuperVersion state_;
  std::unique_ptr<Pipeline> iter_;
};

// A key and its value, as whole-tree iteration yields them.
using KvPair = std::pair<UserKey, UserValue>;
using KvItem = std::optional<TervikResult<KvPair>>;

// A TreeIter whose entries come out as (user key, value) pairs; errors and
// the end pass unchanged.
class KvIter {
 public:
  explicit KvIter(TreeIter inner) : inner_(std::move(inner)) {}

  KvItem next() { return pair_of(inner_.next()); }
  KvItem next_back() { return pair_of(inner_.next_back()); }

 private:
  static KvItem pair_of(ReadItem item);

  TreeIter inner_;
};

}  // namespace tervik
