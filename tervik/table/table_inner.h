// The shared state behind every handle of one open table, and the cleanup of
// a deleted table's file when the last holder lets go. Read by the table's
// read paths in this folder only. Immutable after recovery except the two
// atomics.
#pragma once

#include <atomic>
#include <memory>
#include <optional>

#include "tervik/block/block_index.h"
#include "tervik/block/index_block.h"
#include "tervik/core/checksum.h"
#include "tervik/table/load_block.h"
#include "tervik/table/table_meta_block.h"
#include "tervik/table/table_regions.h"

namespace tervik {

struct TableInner {
  TableInner(std::shared_ptr<const TableReadContext> c, TableRegions r, TableMeta m,
             BlockIndex index)
      : ctx(std::move(c)), regions(r), meta(std::move(m)), block_index(std::move(index)) {}
  ~TableInner();
  TableInner(const TableInner&) = delete;
  TableInner& operator=(const TableInner&) = delete;

  std::shared_ptr<const TableReadContext> ctx;
  TableRegions regions;
  TableMeta meta;
  BlockIndex block_index;
  std::optional<IndexBlock> pinned_filter_index;
  std::optional<Block> pinned_filter;
  Checksum checksum;
  SeqNo global_seqno = 0;

  // Set by compaction; read when the last holder drops the table.
  mutable std::atomic<bool> deleted{false};
  // Linked blob bytes, once computed (a racing first computation stores the
  // same value).
  mutable std::atomic<bool> linked_blob_bytes_known{false};
  mutable std::atomic<uint64_t> linked_blob_bytes{0};
};

}  // namespace tervik
