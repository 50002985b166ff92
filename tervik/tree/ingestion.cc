#include "tervik/tree/ingestion.h"

#include "platform/log.h"
#include "platform/panic.h"
#include "tervik/tree/table_openers.h"
#include "tervik/tree/version_install.h"

namespace tervik {

namespace {

// Ingested tables are written with the policies of level 1.
constexpr size_t kPolicyLevel = 1;

}  // namespace

TervikResult<Ingestion> Ingestion::create(Tree tree) {
  std::string folder = tree.tables_folder();
  ZV_LOG(zv::log::Level::kDebug, kIngestTarget, "Ingesting into tables in " + folder);
  const TreeConfig& c = tree.config();
  const bool partitioned_index = c.index_block_partitioning_policy.get(kPolicyLevel);
  const bool partitioned_filter = c.filter_block_partitioning_policy.get(kPolicyLevel);
  ZV_ASSIGN_OR_RETURN(MultiWriter writer, MultiWriter::create(folder, tree.inner()->table_id_counter,
                                                              kIngestTargetTableSize, kIngestInitialLevel));
  FilterPolicyEntry filter = c.filter_policy.get(kPolicyLevel);
  if (c.expect_point_read_hits || filter.kind == FilterPolicyKind::kNone) {
    filter = FilterPolicyEntry::bits_per_key(0.0f);
  }
  writer.use_bloom_policy(filter)
      .use_data_block_size(c.data_block_size_policy.get(kPolicyLevel))
      .use_data_block_hash_ratio(c.data_block_hash_ratio_policy.get(kPolicyLevel))
      .use_data_block_compression(c.data_block_compression_policy.get(kPolicyLevel))
      .use_index_block_compression(c.index_block_compression_policy.get(kPolicyLevel))
      .use_data_block_restart_interval(c.data_block_restart_interval_policy.get(kPolicyLevel))
      .use_index_block_restart_interval(c.index_block_restart_interval_policy.get(kPolicyLevel));
  if (partitioned_index) writer.use_partitioned_index();
  if (partitioned_filter) writer.use_partitioned_filter();
  return Ingestion(std::move(tree), std::move(folder), std::move(writer));
}

TervikStatus Ingestion::write(UserKey key, UserValue value) {
  if (last_key_ && key.compare(*last_key_) <= 0) zv::panic(kFatalIngestOrder);
  InternalValue entry = InternalValue::new_value(key, std::move(value), 0);
  ZV_TRY(writer_.write(std::move(entry)));
  last_key_ = std::move(key);
  return {};
}

TervikStatus Ingestion::write_indirection(UserKey key, const BlobIndirection& indirection) {
  if (last_key_ && key.compare(*last_key_) <= 0) zv::panic(kFatalIngestOrder);
  ZV_TRY(writer_.write(InternalValue::new_indirection(key, indirection.encode(), 0)));
  writer_.register_blob(indirection);
  last_key_ = std::move(key);
  return {};
}

TervikStatus Ingestion::finish() && {
  if (!last_key_) {
    ZV_LOG(zv::log::Level::kTrace, kIngestTarget, "No data written to Ingestion, returning early");
    return {};
  }
  TreeInner& in = *tree_.inner();
  auto flushing = in.flush_lock.lock();
  tree_.rotate_memtable();
  // Whatever the memtables hold goes into level 0 behind the ingested run.
  ZV_TRY(tree_.flush_sealed_memtables(0));
  ZV_ASSIGN_OR_RETURN(std::vector<WrittenTable> written, std::move(writer_).finish());
  ZV_LOG(zv::log::Level::kInfo, kIngestTarget, "Finished ingestion writer");

  auto hidden = in.hidden_tables.lock();
  auto installing = in.install_lock.lock();
  return install_version(
      *in.shared,
      [&](const SuperVersion& latest, SeqNo s) -> TervikResult<Version> {
        ZV_ASSIGN_OR_RETURN(std::vector<Table> tables,
                            ingest::open_ingested_table(written, folder_, in.config, in.id, s));
        return latest.version.with_new_l0_run(std::move(tables), std::nullopt, std::nullopt);
      },
      [](const SuperVersion& latest, Version next, SeqNo s) {
        return SuperVersion{latest.active_memtable, latest.sealed_memtables, std::move(next), s};
      },
      std::nullopt);
}

}  // namespace tervik
