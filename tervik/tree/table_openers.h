// Opening the tables a multi-writer finished, one opener per producer: a
// flush (level-0 pinning), a compaction (its level's pinning), the two kinds
// of ingestion (a global seqno, nothing pinned). The first failure ends the
// call; tables opened before it are released and their files stay. Safe to
// call from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tervik/config/tree_config.h"
#include "tervik/core/error.h"
#include "tervik/table/table.h"
#include "tervik/table/table_writer.h"

namespace tervik {

struct TableOpenContext {
  std::string folder;
  uint64_t tree_id = 0;
  std::shared_ptr<BlockCache> cache;
  std::shared_ptr<FileDescriptorCache> descriptor_cache;
  SeqNo global_seqno = 0;
  bool pin_filter = false;
  bool pin_index = false;
};

// Opens `<folder>/<id>` of each record, in record order.
TervikResult<std::vector<Table>> open_written_tables(const std::vector<WrittenTable>& records,
                                                     const TableOpenContext& context);

namespace tree {
// Tables of a flush, in the tree's tables folder, pinned as level 0 asks.
TervikResult<std::vector<Table>> open_flushed_table(const std::vector<WrittenTable>& records,
                                                    const TreeConfig& config, uint64_t tree_id);
}  // namespace tree

namespace compaction {
// Tables of a compaction in `folder`, pinned as `level` asks.
TervikResult<std::vector<Table>> open_compacted_table(const std::vector<WrittenTable>& records,
                                                      const std::string& folder, const TreeConfig& config,
                                                      uint64_t tree_id, size_t level);
}  // namespace compaction

namespace ingest {
// Tables of an ingestion in `folder`, every stored seqno raised by `seqno`.
TervikResult<std::vector<Table>> open_ingested_table(const std::vector<WrittenTable>& records,
                                                     const std::string& folder, const TreeConfig& config,
                                                     uint64_t tree_id, SeqNo seqno);
}  // namespace ingest

namespace blob_tree {
// Tables of a blob-tree ingestion, in the tree's tables folder.
TervikResult<std::vector<Table>> open_ingested_table(const std::vector<WrittenTable>& records,
                                                     const TreeConfig& config, uint64_t tree_id,
                                                     SeqNo seqno);
}  // namespace blob_tree

}  // namespace tervik
