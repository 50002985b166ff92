// The single-node delete.
#include <optional>

#include "platform/log.h"
#include "src/backends/backend_kv_service.h"
#include "src/record/node_key.h"
#include "src/storage/shred_record.h"
#include "src/storage/storage_engine.h"
#include "src/wal/wal_records.h"

namespace zv {

namespace {
constexpr const char* kLogTarget = "zivir::storage::delete";

ZolvaStatus failed(ZolvaError e) {
  ZV_ERROR(kLogTarget, "delete failed", {"error", e.message()});
  return make_unexpected(std::move(e));
}
}  // namespace

ZolvaStatus StorageEngine::delete_node(NodeId id, std::string_view reason) {
  std::optional<log::Span> span;
  if (log::enabled(log::Level::kDebug))
    span.emplace("delete", log::Fields{{"id", node_id_to_string(id)}, {"_reason", std::string(reason)}});
  ZV_TRY(check_memory_pressure());
  std::optional<EngineNode> stored;
  if (auto r = get(id); r.ok()) stored = std::move(r.value());
  if (stored) {
    std::unique_lock fs(field_stats.mu);
    field_stats.value.remove_node(*stored);
    field_stats.value.trim();
    // Every entry that lists the id, stale ones included.
    if (scalar_index) scalar_index->remove_node(id);
  }
  if (auto w = check_writable(); !w.ok()) return failed(std::move(w.error()));

  auto guard = lock_insert("delete (WAL + apply)");
  if (!guard.ok()) return failed(std::move(guard.error()));
  if (wal)
    if (auto a = wal::append_record(*wal, WalRecord{WalDelete{id}}); !a.ok())
      return failed(std::move(a.error()));

  std::shared_ptr<VectorIndexPort> index = vector_index();
  // A node of a batch left for the rebuild has a newer record in segment 0
  // than the one the index names (or the index has none): that record must
  // carry the deletion too, or the rebuild brings the node back.
  for (std::optional<uint64_t> off : {index->storage_offset(id), unindexed_record(id)}) {
    if (!off) continue;
    const uint64_t seg = *off & kSegmentMask;
    if (seg >= segments.size()) continue;
    std::unique_lock lock(segments[seg]->lock);
    VFile& f = segments[seg]->file;
    const uint64_t pos = *off & ~kSegmentMask;
    if (std::optional<NodeRecordHeader> h = f.node_header_at(pos)) {
      h->flags |= kRecordDeletedFlag;
      if (auto w = f.write_node_header(pos, *h); !w.ok()) return failed(std::move(w.error()));
    }
  }
  index->remove(id);
  if (index->entry_point() == id) index->set_entry_point(index->top_level_node().value_or(kMaxNodeId));
  node_cache.remove(id);
  if (auto d = backend->del(Partition::kDefault, node_key(id)); !d.ok())
    return failed(std::move(d.error()));
  (void)shred_record::del(id, *backend);
  return {};
}

}  // namespace zv
