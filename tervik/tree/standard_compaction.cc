// The standard compaction flavour: items into new tables, then the install.
#include <unordered_set>

#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "tervik/core/blob_indirection.h"
#include "tervik/tree/compaction_flavour.h"
#include "tervik/tree/table_openers.h"
#include "tervik/tree/version_install.h"
#include "tervik/version/recovery.h"
#include "tervik/compaction/run_filter.h"

namespace tervik::compaction {

std::string micros_since(uint64_t start_ns) {
  return std::to_string((zv::monotonic_ns() - start_ns) / 1000) + "µs";
}

std::string manifest_gc_failure(uint64_t tree_id) {
  return "Manifest maintenance failed: tree " + std::to_string(tree_id) + ": ";
}

StandardCompaction::StandardCompaction(MultiWriter writer, std::vector<Table> input_tables)
    : table_writer_(std::move(writer)), start_ns_(zv::monotonic_ns()), input_tables_(std::move(input_tables)) {}

TervikStatus StandardCompaction::write(InternalValue item) {
  std::optional<BlobIndirection> indirection;
  if (item.key.value_type == ValueType::kIndirection) {
    std::string_view bytes = item.value.view();
    ZV_ASSIGN_OR_RETURN(BlobIndirection decoded, BlobIndirection::decode(&bytes));
    indirection = decoded;
  }
  ZV_TRY(table_writer_.write(std::move(item)));
  // The table records which blob file it references, and how much.
  if (indirection) table_writer_.register_blob(*indirection);
  return {};
}

TervikResult<std::vector<Table>> StandardCompaction::finish_tables(MultiWriter writer, const std::string& folder,
                                                                   const CompactionOptions& options,
                                                                   uint8_t level) {
  ZV_ASSIGN_OR_RETURN(std::vector<WrittenTable> written, std::move(writer).finish());
  return open_compacted_table(written, folder, options.config(), options.tree_id, level);
}

TervikResult<std::vector<Table>> StandardCompaction::finish_own_tables(const CompactionOptions& options,
                                                                       uint8_t dest_level) {
  // Pinned by the destination level, as recovery pins them after a reopen.
  const std::string folder = zv::fs::join(options.config().path, std::string(kTablesFolderName));
  return finish_tables(std::move(table_writer_), folder, options, dest_level);
}

TervikStatus StandardCompaction::finish(const CompactionOptions& options, const Input& input,
                                        FragmentationMap diff, std::vector<BlobFileHandle> filter_blob_files) {
  ZV_LOG(zv::log::Level::kDebug, kFlavourTarget, "Compaction done in " + micros_since(start_ns_));
  ZV_ASSIGN_OR_RETURN(std::vector<Table> tables, finish_own_tables(options, input.dest_level));
  return install(options, input, std::move(tables), std::move(diff), std::move(filter_blob_files), {});
}

TervikStatus StandardCompaction::install(const CompactionOptions& options, const Input& input,
                                         std::vector<Table> tables, FragmentationMap diff,
                                         std::vector<BlobFileHandle> new_blob_files,
                                         std::vector<BlobFileHandle> relocated) {
  std::vector<Table> inputs = std::move(input_tables_);
  std::vector<BlobFileHandle> dropped_blob_files;
  std::optional<FragmentationMap> gc_diff;
  if (!diff.empty()) gc_diff = std::move(diff);
  InstallHooks hooks;
  hooks.gc_failure = manifest_gc_failure(options.tree_id);
  hooks.gc_failure_target = kWorkerLogTarget;
  hooks.on_published = [&] {
    for (const Table& t : inputs) t.mark_as_deleted();
    for (const BlobFileHandle& b : dropped_blob_files) b->mark_deleted();
  };
  return install_version(
      *options.tree,
      [&](const SuperVersion& latest, SeqNo) -> TervikResult<Version> {
        const Version& v = latest.version;
        dropped_blob_files = relocated;
        std::unordered_set<uint64_t> dropped_ids;
        for (const BlobFileHandle& b : relocated) dropped_ids.insert(b->id());
        // Blob files wholly garbage by the statistics go, whatever tables
        // this compaction involves.
        for (const auto& [id, file] : v.blob_files()) {
          const FragmentationEntry* e = v.gc_stats().find(id);
          if (e != nullptr && e->bytes == file->meta().uncompressed_size && dropped_ids.insert(id).second) {
            dropped_blob_files.push_back(file);
          }
        }
        return v.with_merge(input.table_ids, std::move(tables), input.dest_level, std::move(gc_diff),
                            std::move(new_blob_files), dropped_ids);
      },
      [](const SuperVersion& latest, Version v, SeqNo s) {
        return SuperVersion{latest.active_memtable, latest.sealed_memtables, std::move(v), s};
      },
      options.mvcc_gc_watermark, hooks);
}

}  // namespace tervik::compaction
