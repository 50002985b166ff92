#include "tervik/tree/table_openers.h"

#include "platform/fs.h"
#include "tervik/version/recovery.h"

namespace tervik {

namespace {

std::string tables_of(const TreeConfig& config) {
  return zv::fs::join(config.path, std::string(kTablesFolderName));
}

TableOpenContext context_of(std::string folder, const TreeConfig& config, uint64_t tree_id, SeqNo seqno,
                            bool pin_filter, bool pin_index) {
  return TableOpenContext{std::move(folder), tree_id, config.cache, config.descriptor_table,
                          seqno, pin_filter, pin_index};
}

}  // namespace

TervikResult<std::vector<Table>> open_written_tables(const std::vector<WrittenTable>& records,
                                                     const TableOpenContext& c) {
  std::vector<Table> tables;
  tables.reserve(records.size());
  for (const WrittenTable& r : records) {
    ZV_ASSIGN_OR_RETURN(Table t, Table::recover(zv::fs::join(c.folder, std::to_string(r.id)), r.checksum,
                                                c.global_seqno, c.tree_id, c.cache, c.descriptor_cache,
                                                c.pin_filter, c.pin_index));
    tables.push_back(std::move(t));
  }
  return tables;
}

namespace tree {
TervikResult<std::vector<Table>> open_flushed_table(const std::vector<WrittenTable>& records,
                                                    const TreeConfig& config, uint64_t tree_id) {
  return open_written_tables(records, context_of(tables_of(config), config, tree_id, 0,
                                                 config.filter_block_pinning_policy.get(0),
                                                 config.index_block_pinning_policy.get(0)));
}
}  // namespace tree

namespace compaction {
TervikResult<std::vector<Table>> open_compacted_table(const std::vector<WrittenTable>& records,
                                                      const std::string& folder, const TreeConfig& config,
                                                      uint64_t tree_id, size_t level) {
  return open_written_tables(records, context_of(folder, config, tree_id, 0,
                                                 config.filter_block_pinning_policy.get(level),
                                                 config.index_block_pinning_policy.get(level)));
}
}  // namespace compaction

namespace ingest {
TervikResult<std::vector<Table>> open_ingested_table(const std::vector<WrittenTable>& records,
                                                     const std::string& folder, const TreeConfig& config,
                                                     uint64_t tree_id, SeqNo seqno) {
  return open_written_tables(records, context_of(folder, config, tree_id, seqno, false, false));
}
}  // namespace ingest

namespace blob_tree {
TervikResult<std::vector<Table>> open_ingested_table(const std::vector<WrittenTable>& records,
                                                     const TreeConfig& config, uint64_t tree_id,
                                                     SeqNo seqno) {
  return open_written_tables(records, context_of(tables_of(config), config, tree_id, seqno, false, false));
}
}  // namespace blob_tree

}  // namespace tervik
