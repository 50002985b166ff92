#include "src/storage/index_rebuild.h"

#include <mutex>
#include <shared_mutex>

#include "platform/fs.h"
#include "platform/log.h"
#include "src/runtime/operational_counters.h"
#include "src/storage/batch_insert.h"
#include "src/storage/engine_open.h"
#include "src/storage/rebuild_from_store.h"

namespace zv {

namespace {

constexpr const char* kLogTarget = "zivir::storage::rebuild";

void raise_rebuild_counters(const RebuildReport& report) {
  auto& c = OperationalCounters::global();
  c.ann_rebuild_ms.max(report.duration_ms);
  c.ann_rebuild_scanned_nodes.max(report.scanned_nodes);
}

void report_rebuild(const char* message, const RebuildReport& report) {
  ZV_LOG(log::Level::kInfo, kLogTarget, message,
         {"scanned_nodes", std::to_string(report.scanned_nodes)},
         {"indexed_vectors", std::to_string(report.indexed_vectors)},
         {"skipped_tombstones", std::to_string(report.skipped_tombstones)},
         {"duration_ms", std::to_string(report.duration_ms)});
}

// Writes a rebuilt index to its file: a file-backed index through its own
// rewrite (which maps the new file), an in-memory one by a persist.
ZolvaStatus write_rebuilt(VectorIndexPort& index, const std::string& path) {
  const IoStatus st = index.is_mmap_backed() ? index.sync_mmap() : index.persist(path);
  if (!st.ok()) return make_unexpected(ZolvaError::io(st.error()));
  return {};
}

ZolvaStatus clear_marker(StorageBackend& backend) {
  ZV_TRY(backend.del(Partition::kInternalMetadata, kRebuildPendingKey));
  return backend.flush();
}

}  // namespace

ZolvaResult<bool> rebuild_marker_set(StorageBackend& backend) {
  ZV_ASSIGN_OR_RETURN(auto value, backend.get(Partition::kInternalMetadata, kRebuildPendingKey));
  return value.has_value();
}

ZolvaResult<bool> rebuild_index_at_open(EngineParts& parts, bool read_only) {
  if (parts.segments.empty()) return false;
  const std::string path = fs::join(parts.data_dir, kIndexFileName);
  ZV_ASSIGN_OR_RETURN(const bool marker, rebuild_marker_set(*parts.backend));
  if (!marker) {
    if (!parts.vector_index->is_empty()) return false;
    ZV_ASSIGN_OR_RETURN(RebuildReport report,
                        rebuild_index_parallel(*parts.vector_index, parts.segments[0], path));
    raise_rebuild_counters(report);
    if (report.scanned_nodes != 0) report_rebuild("Index reconstructed from File", report);
    return report.scanned_nodes != 0;
  }
  std::shared_ptr<VectorIndexPort> fresh = parts.vector_index->empty_like(path);
  fresh->set_flat_threshold(parts.vector_index->flat_threshold());
  ZV_ASSIGN_OR_RETURN(RebuildReport report,
                      rebuild_index_parallel(*fresh, parts.segments[0], path));
  raise_rebuild_counters(report);
  report_rebuild("Index rebuilt from File for a pending deferred batch", report);
  parts.vector_index = std::move(fresh);
  if (read_only) return true;
  ZolvaStatus written = write_rebuilt(*parts.vector_index, path);
  if (written.ok()) written = clear_marker(*parts.backend);
  if (!written.ok())
    ZV_WARN(kLogTarget, "rebuilt index not stored; the next open rebuilds again",
            {"error", written.error().message()});
  return true;
}

ZolvaResult<bool> StorageEngine::rebuild_pending() { return rebuild_marker_set(*backend); }

std::optional<uint64_t> StorageEngine::unindexed_record(NodeId id) {
  auto pending = rebuild_pending();
  if (!pending.ok() || !*pending || segments.empty()) return std::nullopt;
  std::optional<uint64_t> newest;
  std::shared_lock<std::shared_mutex> seg(segments[0]->lock);
  walk_store_records(segments[0]->file, [&](const NodeRecordHeader& h, uint64_t pos) {
    if (h.node_id == id) newest = pos;
  });
  return newest;
}

ZolvaResult<RebuildReport> StorageEngine::rebuild_vector_index() {
  ZV_TRY(check_writable());
  ZV_TRY(flush());
  if (maintenance_seams.at_step) maintenance_seams.at_step("rebuild_lock");
  ZV_ASSIGN_OR_RETURN(InsertGuard guard, lock_insert("rebuild_vector_index"));
  ZV_TRY(check_writable());
  return rebuild_locked();
}

ZolvaResult<RebuildReport> StorageEngine::rebuild_locked() {
  const std::string path = fs::join(data_dir, kIndexFileName);
  const std::shared_ptr<VectorIndexPort> current = vector_index();
  std::shared_ptr<VectorIndexPort> fresh = current->empty_like(path);
  fresh->set_flat_threshold(current->flat_threshold());
  if (maintenance_seams.at_step) maintenance_seams.at_step("rebuild_fill");
  RebuildReport report;
  {
    std::shared_lock<std::shared_mutex> seg(segments.at(0)->lock);
    ZV_ASSIGN_OR_RETURN(report, rebuild_index_parallel(*fresh, segments[0]->file, path));
  }
  // Without a data directory there is no index file to write.
  if (!data_dir.empty()) {
    if (maintenance_seams.at_step) maintenance_seams.at_step("rebuild_write");
    ZV_TRY(write_rebuilt(*fresh, path));
  }
  swap_vector_index(std::move(fresh));
  raise_rebuild_counters(report);
  // Only now does the index file hold the deferred nodes.
  if (maintenance_seams.at_step) maintenance_seams.at_step("rebuild_clear_marker");
  ZV_ASSIGN_OR_RETURN(const bool marker, rebuild_pending());
  if (marker) ZV_TRY(clear_marker(*backend));
  return report;
}

}  // namespace zv
