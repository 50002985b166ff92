// What versions read of an open table, in one place: the attributes that
// the level structure, the version file and the transforms need, and the
// hidden-table set. Everything else of the table reader stays behind it.
// Tables are immutable but for their deleted flag; safe to share.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <unordered_set>
#include <vector>

#include "tervik/core/checksum.h"
#include "tervik/core/error.h"
#include "tervik/core/seqno.h"
#include "tervik/core/slice.h"
#include "tervik/table/linked_blob_file.h"
#include "tervik/table/table.h"
#include "tervik/table/table_meta_block.h"

namespace tervik {


// Ids of the tables that running compactions work on.
using HiddenTableSet = std::unordered_set<uint64_t>;

// True when any of `ids` is hidden; no lookup at all while the set is empty.
inline bool contains_any(const HiddenTableSet& hidden, std::span<const uint64_t> ids) {
  if (hidden.empty()) return false;
  for (uint64_t id : ids) {
    if (hidden.contains(id)) return true;
  }
  return false;
}
inline void insert_all(HiddenTableSet& hidden, std::span<const uint64_t> ids) {
  hidden.insert(ids.begin(), ids.end());
}
// Ids that are not hidden are ignored.
inline void remove_all(HiddenTableSet& hidden, std::span<const uint64_t> ids) {
  for (uint64_t id : ids) hidden.erase(id);
}

inline uint64_t table_id(const Table& t) { return t.id(); }
inline const UserKey& table_min_key(const Table& t) { return t.meta().key_min; }
inline const UserKey& table_max_key(const Table& t) { return t.meta().key_max; }
inline uint64_t table_file_size(const Table& t) { return t.meta().file_size; }
inline Checksum table_checksum(const Table& t) { return t.checksum(); }
inline uint64_t table_global_seqno(const Table& t) { return t.global_seqno(); }
// The highest sequence number of the table's items, its offset included.
inline SeqNo table_highest_seqno(const Table& t) { return t.highest_seqno(); }
// The blob files the table references; empty when it references none.
TervikResult<std::vector<LinkedBlobFile>> table_linked_blob_files(const Table& t);

}  // namespace tervik
