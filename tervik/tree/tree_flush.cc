// The flush of sealed memtables into level-0 tables.
#include <memory>

#include "platform/clock.h"
#include "platform/log.h"
#include "tervik/merge/compaction_stream.h"
#include "tervik/merge/merger.h"
#include "tervik/table/multi_writer.h"
#include "tervik/tree/table_openers.h"
#include "tervik/tree/tree.h"

namespace tervik {

namespace {

using Box = std::unique_ptr<DoubleEndedSource>;

std::string compression_name(CompressionType c) { return c == CompressionType::kLz4 ? "Lz4" : "None"; }

}  // namespace

TervikResult<std::optional<uint64_t>> Tree::flush_sealed_memtables(SeqNo seqno_threshold) const {
  // Capture the sealed list; they stay in the super version until the
  // registration, readable by everyone, while this flush reads them.
  const SealedMemtablesHandle sealed = latest_super_version().sealed_memtables;
  if (sealed->empty()) return std::optional<uint64_t>();

  std::vector<uint64_t> ids;
  std::string id_list = "[";
  for (const auto& m : sealed->memtables()) {
    if (!ids.empty()) id_list += ", ";
    ids.push_back(m->id());
    id_list += std::to_string(m->id());
  }
  ZV_LOG(zv::log::Level::kDebug, kAbstractTreeTarget,
         "Flushing sealed memtables " + id_list + "] to table(s)");
  const uint64_t size = sealed->approximate_size();

  std::vector<Box> sources;
  sources.reserve(sealed->size());
  for (const auto& m : sealed->memtables()) sources.push_back(std::make_unique<MemtableRange>(m->iter()));
  CompactionStreamOptions options;
  options.gc_seqno_threshold = seqno_threshold;
  CompactionStream<Merger<Box>> stream(Merger<Box>(std::move(sources)), options);
  ZV_ASSIGN_OR_RETURN(std::vector<Table> tables, flush_to_tables([&] { return stream.next(); }));
  ZV_TRY(register_tables(std::move(tables), std::nullopt, std::nullopt, ids, seqno_threshold));
  return std::optional<uint64_t>(size);
}

TervikResult<std::vector<Table>> Tree::flush_to_tables(const std::function<ReadItem()>& next) const {
  return flush_to_tables(next, FlushHooks{});
}

TervikResult<std::vector<Table>> Tree::flush_to_tables(const std::function<ReadItem()>& next,
                                                       const FlushHooks& hooks) const {
  const uint64_t start = zv::monotonic_ns();
  const TreeConfig& c = inner_->config;
  const std::string folder = tables_folder();
  const uint32_t block_size = c.data_block_size_policy.get(0);
  const uint8_t data_restart = c.data_block_restart_interval_policy.get(0);
  const uint8_t index_restart = c.index_block_restart_interval_policy.get(0);
  const CompressionType data_compression = c.data_block_compression_policy.get(0);
  const CompressionType index_compression = c.index_block_compression_policy.get(0);
  FilterPolicyEntry filter = c.filter_policy.get(0);
  if (filter.kind == FilterPolicyKind::kNone) filter = FilterPolicyEntry::bits_per_key(0.0f);
  ZV_LOG(zv::log::Level::kDebug, kTreeTarget,
         (hooks.separates_values ? std::string("Flushing memtable(s) and performing key-value separation")
                                 : "Flushing memtable(s) to " + folder) +
             ", data_block_restart_interval=" +
             std::to_string(data_restart) + ", index_block_restart_interval=" + std::to_string(index_restart) +
             ", data_block_size=" + std::to_string(block_size) +
             ", data_block_compression=" + compression_name(data_compression) +
             ", index_block_compression=" + compression_name(index_compression));

  ZV_ASSIGN_OR_RETURN(MultiWriter writer,
                      MultiWriter::create(folder, inner_->table_id_counter, kFlushTargetTableSize, 0));
  writer.use_data_block_restart_interval(data_restart)
      .use_index_block_restart_interval(index_restart)
      .use_data_block_compression(data_compression)
      .use_index_block_compression(index_compression)
      .use_data_block_size(block_size)
      .use_data_block_hash_ratio(c.data_block_hash_ratio_policy.get(0))
      .use_bloom_policy(filter);
  if (c.index_block_partitioning_policy.get(0)) writer.use_partitioned_index();
  if (c.filter_block_partitioning_policy.get(0)) writer.use_partitioned_filter();
  while (ReadItem item = next()) {
    if (!item->ok()) return zv::make_unexpected(std::move(*item).error());
    if (hooks.write_item) {
      ZV_TRY(hooks.write_item(writer, std::move(**item)));
    } else {
      ZV_TRY(writer.write(std::move(**item)));
    }
  }
  if (hooks.before_finish) ZV_TRY(hooks.before_finish());
  ZV_ASSIGN_OR_RETURN(std::vector<WrittenTable> written, std::move(writer).finish());
  ZV_LOG(zv::log::Level::kDebug, kTreeTarget,
         "Flushed memtable(s) in " + std::to_string((zv::monotonic_ns() - start) / 1000) + "us");
  return tree::open_flushed_table(written, c, inner_->id);
}

}  // namespace tervik
