// An open table file: its meta properties, regions, block index and
// optionally pinned filter parts, opened by Table::recover. A Table is a
// shared handle to one immutable TableInner; clones are cheap and may be used
// from any number of threads. When the last handle of a table marked deleted
// goes, its file goes with it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tervik/block/block_index.h"
#include "tervik/cache/block_cache.h"
#include "tervik/config/descriptor_cache.h"
#include "tervik/core/checksum.h"
#include "tervik/core/error.h"
#include "tervik/core/internal_value.h"
#include "tervik/core/key_range.h"
#include "tervik/table/linked_blob_file.h"
#include "tervik/table/table_iter.h"
#include "tervik/table/table_meta_block.h"
#include "tervik/table/table_regions.h"
#include "tervik/table/table_scanner.h"

namespace tervik {

inline constexpr const char* kTableLogTarget = "tervik::table";
inline constexpr const char* kInnerLogTarget = "tervik::table::inner";

struct GlobalTableId {
  uint64_t tree_id = 0;
  uint64_t table_id = 0;
  bool operator==(const GlobalTableId&) const = default;
  // "GlobalTableId(0, 7)"
  std::string debug_string() const;
};

struct TableInner;

class Table {
 public:
  // Opens the table file at `path`. `pin_filter` keeps a whole (not
  // partitioned) filter in memory; `pin_index` keeps a full index in memory
  // (a partitioned index always keeps its top level; a partitioned filter
  // always keeps its index). With a descriptor cache the table reads through
  // it and keeps no handle of its own.
  static TervikResult<Table> recover(std::string path, Checksum checksum, SeqNo global_seqno,
                                     uint64_t tree_id, std::shared_ptr<BlockCache> block_cache,
                                     std::shared_ptr<FileDescriptorCache> descriptor_cache,
                                     bool pin_filter, bool pin_index);

  // Entries with user keys between the bounds, from both ends. Reads nothing.
  TableIter range(Bound lower, Bound upper) const;
  TableIter iter() const { return range(Bound::unbounded(), Bound::unbounded()); }

  // The newest entry of `key` with a seqno below `snapshot` (seqnos count the
  // global seqno), none, or an error. `key_hash` is BloomFilter::key_hash(key).
  TervikResult<std::optional<InternalValue>> get(std::string_view key, SeqNo snapshot,
                                                 uint64_t key_hash) const;

  // A sequential scanner over the data blocks, with a file handle of its own.
  TervikResult<TableScanner> scan() const;

  // None without a "linked_blob_files" region; else the stored list.
  TervikResult<std::optional<std::vector<LinkedBlobFile>>> linked_blob_files() const;
  // Sum of on_disk_bytes of the linked blob files, computed once.
  TervikResult<uint64_t> linked_blob_bytes() const;

  uint64_t id() const;
  uint64_t tree_id() const;
  GlobalTableId global_id() const;
  const std::string& path() const;
  const Checksum& checksum() const;
  SeqNo global_seqno() const;
  const TableMeta& meta() const;
  const TableRegions& regions() const;
  BlockIndex::Kind index_kind() const;
  bool has_pinned_filter() const;
  bool has_pinned_filter_index() const;
  // Highest sequence number the table holds: max seqno + global seqno.
  SeqNo highest_seqno() const;

  // Marks the file for removal when the last handle goes; never cleared.
  void mark_as_deleted() const;
  bool is_deleted() const;

  const std::shared_ptr<const TableInner>& inner() const { return inner_; }

 private:
  explicit Table(std::shared_ptr<const TableInner> inner) : inner_(std::move(inner)) {}
  std::shared_ptr<const TableInner> inner_;
};

}  // namespace tervik
