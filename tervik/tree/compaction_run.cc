#include "tervik/tree/compaction_run.h"

#include <memory>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "platform/clock.h"
#include "platform/debug_quote.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "tervik/compaction/run_filter.h"
#include "tervik/blob/blob_file_multi_writer.h"
#include "tervik/blob/blob_file_scanner.h"
#include "tervik/tree/merge_tables.h"
#include "tervik/tree/relocation_choice.h"
#include "tervik/tree/run_scanner.h"
#include "tervik/tree/tree_handle.h"
#include "tervik/tree/version_install.h"
#include "tervik/version/recovery.h"
#include "tervik/version/walks.h"

namespace tervik::compaction {

namespace {

using LogLevel = zv::log::Level;
using Box = std::unique_ptr<ItemSource>;

std::string compression_name(CompressionType c) { return c == CompressionType::kLz4 ? "Lz4" : "None"; }

SuperVersion latest_of(TreeShared& t) {
  auto read = t.version_history.read();
  return t.versions.latest();
}

SuperVersion with_version(const SuperVersion& latest, Version v, SeqNo s) {
  return SuperVersion{latest.active_memtable, latest.sealed_memtables, std::move(v), s};
}

InstallHooks hooks_of(const CompactionOptions& o) {
  InstallHooks hooks;
  hooks.gc_failure = manifest_gc_failure(o.tree_id);
  hooks.gc_failure_target = kWorkerLogTarget;
  return hooks;
}

bool contains_all(const Version& v, const TableIdSet& ids) {
  for (uint64_t id : ids) {
    if (!v.find_table(id)) return false;
  }
  return true;
}

// Declined: another run works on one of the tables.
bool declined_as_hidden(const CompactionOptions& o, const TableIdSet& ids) {
  if (!contains_any(o.tree->hidden, ids)) return false;
  ZV_WARN(kWorkerLogTarget, "Compaction task created by " + zv::debug_quote(o.strategy->name()) +
                                kHiddenTablesDecline + kReportAt);
  return true;
}

void warn_not_in_manifest(const CompactionOptions& o) {
  ZV_WARN(kWorkerLogTarget, "Compaction task created by " + zv::debug_quote(o.strategy->name()) + kNotInManifest);
}

TervikStatus do_move(const CompactionOptions& o, const Input& input) {
  TreeShared& t = *o.tree;
  // Under the install mutex the latest version changes for nobody else.
  auto installing = t.install_lock.lock();
  if (declined_as_hidden(o, input.table_ids)) return {};
  if (!contains_all(latest_of(t).version, input.table_ids)) {
    ZV_LOG(LogLevel::kDebug, kWorkerLogTarget,
           ids_string(input.table_ids) + " are not referenced anymore; skipping move");
    return {};
  }
  return install_version(
      t, [&](const SuperVersion& latest, SeqNo) -> TervikResult<Version> {
        return latest.version.with_moved(input.table_ids, input.dest_level);
      },
      with_version, o.mvcc_gc_watermark, hooks_of(o));
}

TervikStatus do_drop(const CompactionOptions& o, const TableIdSet& ids) {
  TreeShared& t = *o.tree;
  auto installing = t.install_lock.lock();
  if (declined_as_hidden(o, ids)) return {};
  const Version current = latest_of(t).version;
  std::vector<Table> dropped;
  for (uint64_t id : ids) {
    std::optional<Table> table = current.find_table(id);
    if (!table) {
      warn_not_in_manifest(o);
      return {};
    }
    dropped.push_back(std::move(*table));
  }
  ZV_LOG(LogLevel::kDebug, kWorkerLogTarget, "Dropping tables: " + ids_string(ids));
  std::vector<BlobFileHandle> dropped_blob_files;
  ZV_ASSIGN_OR_RETURN(Version next, current.with_dropped(ids, &dropped_blob_files));
  InstallHooks hooks = hooks_of(o);
  // Flagged as soon as no new reader can reach them, before the collection
  // of old version files, so that its failure cannot keep their files.
  hooks.on_published = [&] {
    for (const Table& table : dropped) table.mark_as_deleted();
    for (const BlobFileHandle& b : dropped_blob_files) b->mark_deleted();
  };
  ZV_TRY(install_version(t, [&](const SuperVersion&, SeqNo) -> TervikResult<Version> { return std::move(next); }, with_version,
                         o.mvcc_gc_watermark, hooks));
  ZV_LOG(LogLevel::kTrace, kWorkerLogTarget, "Dropped " + std::to_string(ids.size()) + " tables");
  return {};
}

// One reader per run slice that holds input tables: a run scanner over the
// run's tables from the first to the last input table, or a table scanner
// over a single-table run. *count gets the number of tables they read.
TervikResult<std::vector<Box>> open_readers(const Version& v, const TableIdSet& ids, size_t* count) {
  std::vector<Box> readers;
  *count = 0;
  for (const LevelHandle& level : v.levels()) {
    for (const RunHandle& run : level->runs()) {
      const size_t n = run->size();
      if (n >= 2) {
        size_t lo = 0;
        while (lo < n && !contains_id(ids, (*run)[lo].id())) ++lo;
        if (lo == n) continue;
        size_t hi = n - 1;
        while (!contains_id(ids, (*run)[hi].id())) --hi;
        ZV_ASSIGN_OR_RETURN(RunScanner scanner, RunScanner::create(run, lo, hi));
        readers.push_back(std::make_unique<RunScanner>(std::move(scanner)));
        *count += hi - lo + 1;
      } else if (n == 1 && contains_id(ids, (*run)[0].id())) {
        ZV_ASSIGN_OR_RETURN(TableScanner scanner, (*run)[0].scan());
        readers.push_back(std::make_unique<TableScanner>(std::move(scanner)));
        *count += 1;
      }
    }
  }
  return readers;
}

// The table writer of a merge: the canonical level's writing policies, the
// destination level's Bloom policy.
TervikResult<MultiWriter> make_table_writer(const CompactionOptions& o, const Input& input, const Version& v) {
  const TreeConfig& c = o.config();
  const uint8_t level = input.canonical_level;
  const uint32_t block_size = c.data_block_size_policy.get(level);
  const uint8_t data_restart = c.data_block_restart_interval_policy.get(level);
  const uint8_t index_restart = c.index_block_restart_interval_policy.get(level);
  const CompressionType data_compression = c.data_block_compression_policy.get(level);
  const CompressionType index_compression = c.index_block_compression_policy.get(level);
  const float hash_ratio = c.data_block_hash_ratio_policy.get(level);
  const bool partitioned_index = c.index_block_partitioning_policy.get(level);
  const bool partitioned_filter = c.filter_block_partitioning_policy.get(level);
  ZV_LOG(LogLevel::kDebug, kFlavourTarget,
         "Compacting tables " + ids_string(input.table_ids) + " into L" + std::to_string(input.dest_level) +
             " (canonical L" + std::to_string(level) + "), target_size=" + std::to_string(input.target_size) +
             ", data_block_restart_interval=" + std::to_string(data_restart) +
             ", index_block_restart_interval=" + std::to_string(index_restart) +
             ", data_block_size=" + std::to_string(block_size) +
             ", data_block_compression=" + compression_name(data_compression) +
             ", index_block_compression=" + compression_name(index_compression) +
             ", mvcc_gc_watermark=" + std::to_string(o.mvcc_gc_watermark));

  const std::string folder = zv::fs::join(c.path, std::string(kTablesFolderName));
  ZV_ASSIGN_OR_RETURN(MultiWriter writer,
                      MultiWriter::create(folder, o.table_id_counter, input.target_size, input.dest_level));
  if (partitioned_index) writer.use_partitioned_index();
  if (partitioned_filter) writer.use_partitioned_filter();
  writer.use_data_block_restart_interval(data_restart)
      .use_index_block_restart_interval(index_restart)
      .use_data_block_compression(data_compression)
      .use_data_block_size(block_size)
      .use_data_block_hash_ratio(hash_ratio)
      .use_index_block_compression(index_compression);
  // The last level of a tree whose reads expect hits needs no filter.
  FilterPolicyEntry bloom = c.filter_policy.get(input.dest_level);
  const bool last_level = v.level_count() > 0 && input.dest_level == v.level_count() - 1;
  if ((last_level && c.expect_point_read_hits) || bloom.kind == FilterPolicyKind::kNone) {
    bloom = FilterPolicyEntry::bits_per_key(0.0f);
  }
  writer.use_bloom_policy(bloom);
  return writer;
}

// A merge's installation: under the hidden-table mutex and the install
// mutex, unless its input has gone meanwhile.
TervikStatus install_merge(const CompactionOptions& o, const Input& input, CompactionFlavour& flavour,
                           FilterAccessor* filter, FragmentationMap diff) {
  TreeShared& t = *o.tree;
  auto hidden = t.hidden_tables.lock();
  ZV_LOG(LogLevel::kTrace, kWorkerLogTarget, "Acquiring super version write lock");
  auto installing = t.install_lock.lock();
  ZV_LOG(LogLevel::kTrace, kWorkerLogTarget, "Acquired super version write lock");
  if (!contains_all(latest_of(t).version, input.table_ids)) {
    ZV_LOG(LogLevel::kDebug, kWorkerLogTarget,
           "Input table(s) are not referenced anymore; skipping result installation");
    remove_all(t.hidden, input.table_ids);
    return {};
  }
  ZV_LOG(LogLevel::kTrace, kWorkerLogTarget, "Blob fragmentation diff: " + diff.debug_string());
  std::vector<BlobFileHandle> filter_blob_files;
  if (filter != nullptr) {
    if (std::optional<BlobFileMultiWriter> writer = filter->take_blob_writer()) {
      auto finished = std::move(*writer).finish();
      if (!finished.ok()) {
        ZV_ERROR(kWorkerLogTarget,
                 "Compaction failed while finishing filter blob writer: " + finished.error().debug_string());
        remove_all(t.hidden, input.table_ids);
        return zv::make_unexpected(std::move(finished).error());
      }
      filter_blob_files = std::move(*finished);
    }
  }
  if (TervikStatus st = flavour.finish(o, input, std::move(diff), std::move(filter_blob_files)); !st.ok()) {
    ZV_ERROR(kWorkerLogTarget, kCompactionFailed + st.error().debug_string());
    remove_all(t.hidden, input.table_ids);
    return st;
  }
  remove_all(t.hidden, input.table_ids);
  ZV_LOG(LogLevel::kTrace, kWorkerLogTarget, "Compaction successful");
  return {};
}

// The standard flavour, or for a blob tree with blob files worth relocating
// the relocating one, with a scanner over each of those files and a blob
// writer that copies values in their stored form.
TervikResult<std::unique_ptr<CompactionFlavour>> make_flavour(const CompactionOptions& o, const Input& input,
                                                              const Version& version, MultiWriter writer,
                                                              std::vector<Table> inputs) {
  const TreeConfig& c = o.config();
  std::vector<BlobFileHandle> relocated;
  if (c.kv_separation_opts) {
    ZV_ASSIGN_OR_RETURN(relocated, pick_blob_files_for_relocation(input.table_ids, version, *c.kv_separation_opts));
  }
  StandardCompaction standard(std::move(writer), std::move(inputs));
  if (relocated.empty()) {
    if (c.kv_separation_opts) ZV_LOG(LogLevel::kDebug, kWorkerLogTarget, "No blob relocation needed");
    return std::unique_ptr<CompactionFlavour>(std::make_unique<StandardCompaction>(std::move(standard)));
  }
  if (zv::log::enabled(LogLevel::kDebug)) {
    std::vector<uint64_t> ids;
    for (const BlobFileHandle& b : relocated) ids.push_back(b->id());
    ZV_LOG(LogLevel::kDebug, kWorkerLogTarget, "Relocate blob files: " + ids_string(ids));
  }
  const KvSeparationOptions& opts = *c.kv_separation_opts;
  ZV_ASSIGN_OR_RETURN(std::vector<BlobFileScanner> scanners, BlobFileScanner::open_all(relocated));
  ZV_ASSIGN_OR_RETURN(BlobFileMultiWriter blobs,
                      BlobFileMultiWriter::create(zv::fs::join(c.path, std::string(kBlobsFolderName)),
                                                  o.blob_file_id_counter, o.tree_id, c.descriptor_table));
  blobs.set_target_size(opts.file_target_size);
  blobs.set_compression(opts.compression);
  blobs.set_precompressed(true);
  return std::unique_ptr<CompactionFlavour>(std::make_unique<RelocatingCompaction>(
      std::move(scanners), std::move(standard), std::make_unique<BlobFileMultiWriter>(std::move(blobs)),
      std::move(relocated)));
}

TervikStatus do_merge(const CompactionOptions& o, zv::PoisonMutex::Guard hidden, const SuperVersion& latest,
                      const Input& input) {
  TreeShared& t = *o.tree;
  const TreeConfig& c = o.config();
  if (o.stop_signal->load(std::memory_order_acquire)) {
    ZV_LOG(LogLevel::kDebug, kWorkerLogTarget, "Stopping before compaction because of stop signal");
    return {};
  }
  if (declined_as_hidden(o, input.table_ids)) return {};
  std::vector<Table> inputs;
  for (uint64_t id : input.table_ids) {
    std::optional<Table> table = latest.version.find_table(id);
    if (!table) {
      warn_not_in_manifest(o);
      return {};
    }
    inputs.push_back(std::move(*table));
  }
  size_t count = 0;
  ZV_ASSIGN_OR_RETURN(std::vector<Box> readers, open_readers(latest.version, input.table_ids, &count));
  if (count != input.table_ids.size()) {
    ZV_WARN(kWorkerLogTarget, kTablesDoNotExist);
    return {};
  }

  MergeSettings settings;
  settings.gc_seqno_threshold = o.mvcc_gc_watermark;
  settings.evict_tombstones = input.dest_level + 1 == c.level_count;
  std::optional<FilterAccessor> filter;
  if (c.compaction_filter_factory) {
    const CompactionFilterContext context{settings.evict_tombstones};
    filter.emplace(FilterAccessorParts{
        o.blob_file_id_counter, std::shared_ptr<const TreeConfig>(o.tree, &t.config), o.tree_id, latest.version,
        zv::fs::join(c.path, std::string(kBlobsFolderName)), context,
        create_filter(*c.compaction_filter_factory, context)});
    settings.filter = &*filter;
  }
  ZV_ASSIGN_OR_RETURN(MultiWriter writer, make_table_writer(o, input, latest.version));
  const uint64_t prepared = zv::monotonic_ns();
  std::optional<FragmentationHook> garbage;
  if (c.kv_separation_opts) {
    garbage.emplace();
    settings.dropped_item_hook = &*garbage;
  }
  ZV_ASSIGN_OR_RETURN(std::unique_ptr<CompactionFlavour> flavour,
                      make_flavour(o, input, latest.version, std::move(writer), std::move(inputs)));
  ZV_LOG(LogLevel::kTrace, kWorkerLogTarget, "Blob file GC preparation done in " + micros_since(prepared));

  insert_all(t.hidden, input.table_ids);
  hidden.unlock();

  ZV_ASSIGN_OR_RETURN(MergeOutcome outcome, merge_tables(input, std::move(readers), settings, *flavour, o));
  if (outcome == MergeOutcome::kStopped) {
    auto relock = t.hidden_tables.lock();
    remove_all(t.hidden, input.table_ids);
    return {};
  }
  if (filter) filter->finish_filter();
  FragmentationMap diff = garbage ? std::move(*garbage).take_map() : FragmentationMap();
  return install_merge(o, input, *flavour, filter ? &*filter : nullptr, std::move(diff));
}

}  // namespace

TervikStatus run_compaction(const CompactionOptions& o) {
  TreeShared& t = *o.tree;
  auto hidden = t.hidden_tables.lock();
  const uint64_t start = zv::monotonic_ns();
  ZV_LOG(LogLevel::kTrace, kWorkerLogTarget, "Consulting compaction strategy " + zv::debug_quote(o.strategy->name()));
  const SuperVersion latest = latest_of(t);
  const Choice choice = o.strategy->choose(latest.version, t.config, t.hidden);
  ZV_LOG(LogLevel::kDebug, kWorkerLogTarget,
         "Compaction choice: " + debug_string(choice) + " in " + micros_since(start));

  if (const auto* m = std::get_if<Move>(&choice)) return do_move(o, m->input);
  if (const auto* d = std::get_if<Drop>(&choice)) return do_drop(o, d->table_ids);
  if (const auto* m = std::get_if<Merge>(&choice)) return do_merge(o, std::move(hidden), latest, m->input);
  ZV_LOG(LogLevel::kTrace, kWorkerLogTarget, "Compactor chose to do nothing");
  return {};
}

}  // namespace tervik::compaction
