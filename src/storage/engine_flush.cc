// The engine's checkpoint (flush), the index file write it ends with, and the
// log compaction built on it.
#include <mutex>
#include <optional>
#include <shared_mutex>

#include "platform/fs.h"
#include "platform/log.h"
#include "platform/sysinfo.h"
#include "src/backends/backend_kv_service.h"
#include "src/runtime/operational_counters.h"
#include "src/storage/checkpoint_store.h"
#include "src/storage/engine_open.h"
#include "src/storage/memory_gauges.h"
#include "src/storage/storage_engine.h"

namespace zv {

namespace {

constexpr const char* kLogTarget = "zivir::storage::flush";

ZolvaStatus failed(const char* what, ZolvaError e) {
  ZV_ERROR(kLogTarget, what, {"error", e.message()});
  return make_unexpected(std::move(e));
}

}  // namespace

void refresh_memory_gauges(StorageEngine& engine) {
  auto& c = OperationalCounters::global();
  const auto index = engine.vector_index();
  bool known = false;
  uint64_t resident = 0;
  for (const auto& seg : engine.segments) {
    std::shared_lock<std::shared_mutex> g(seg->lock);
    const ResidentBytes r = seg->file.resident();
    if (r.known) known = true, resident += r.bytes;
  }
  if (auto r = index->mmap_resident_bytes()) known = true, resident += *r;
  c.mmap_resident_bytes.set(known ? std::optional<uint64_t>(resident) : std::nullopt);
  c.hnsw_nodes_count.set(index->len());
  c.hnsw_logical_bytes.set(index->memory_usage());
  c.volatile_cache_entries.set(engine.node_cache.size());
  auto rss = process_working_set_bytes();
  c.process_rss_bytes.set(rss.ok() ? rss.value() : 0);
  auto committed = process_committed_bytes();
  c.process_virtual_bytes.set(committed.ok() ? committed.value() : 0);
}

ZolvaStatus StorageEngine::check_writable() const {
  if (read_only()) return make_unexpected(read_only_error());
  std::scoped_lock lock(write_stop_.mu);
  if (write_stop_.value) return make_unexpected(*write_stop_.value);
  return {};
}

void StorageEngine::stop_writes(const ZolvaError& cause) {
  ZV_ERROR(kLogTarget, "writes stopped until the database is reopened", {"error", cause.message()});
  std::scoped_lock lock(write_stop_.mu);
  if (!write_stop_.value) write_stop_.value = cause;
}

ZolvaStatus StorageEngine::flush() {
  std::optional<log::Span> span;
  if (log::enabled(log::Level::kDebug)) span.emplace("flush");
  if (read_only()) return make_unexpected(read_only_error());
  auto guard = lock_insert("flush (ERR-010 checkpoint)");
  if (!guard.ok()) return failed("flush failed", std::move(guard.error()));
  // Checked under the lock: a compaction that stopped writes held it.
  if (auto w = check_writable(); !w.ok()) return failed("flush failed", std::move(w.error()));
  if (auto st = flush_locked(); !st.ok()) return failed("flush failed", std::move(st.error()));

  auto q = quantization_maintenance();
  if (q.ok() && (q->quantized != 0 || q->promoted != 0))
    ZV_LOG(log::Level::kDebug, kLogTarget, "Quantization maintenance completed",
           {"quantized", std::to_string(q->quantized)}, {"promoted", std::to_string(q->promoted)});
  refresh_memory_gauges(*this);
  return {};
}

ZolvaStatus StorageEngine::flush_locked() {
  ZV_TRY(drain_pending_hnsw());
  // Every append took the insert lock and was applied before releasing it,
  // so every position handed out so far is applied now.
  const uint64_t applied = wal ? wal->positions_handed_out() : 0;
  ZV_TRY(backend->flush());
  for (const auto& seg : segments) {
    std::shared_lock<std::shared_mutex> g(seg->lock);
    ZV_TRY(seg->file.flush());
  }
  ZV_TRY(persist_vector_index());
  // Position 0 stores nothing: an earlier value stays. The store writes
  // whatever the log hands it (0 after a rotation) and flushes the backend
  // before the log may archive its files.
  if (wal && wal->shard_count() != 0 && applied != 0)
    ZV_TRY(wal->checkpoint(applied, make_checkpoint_store(backend)));
  return {};
}

ZolvaStatus StorageEngine::persist_vector_index() {
  // No log: memory mode or read-only. No directory: nowhere to write.
  if (!wal || data_dir.empty()) return {};
  const std::string path = fs::join(data_dir, kIndexFileName);
  std::shared_ptr<VectorIndexPort> index = vector_index();
  if (index->is_mmap_backed()) {
    auto fresh = index->persist_and_remap(path);
    if (!fresh.ok()) return make_unexpected(ZolvaError::io(std::move(fresh).error()));
    std::shared_ptr<VectorIndexPort> next(std::move(fresh).value());
    next->set_flat_threshold(index->flat_threshold());
    swap_vector_index(std::move(next));
    return {};
  }
  if (auto st = index->persist(path); !st.ok()) return make_unexpected(ZolvaError::io(st.error()));
  return {};
}

ZolvaStatus StorageEngine::compact_wal() {
  std::optional<log::Span> span;
  if (log::enabled(log::Level::kDebug)) span.emplace("compact_wal");
  ZV_TRY(flush());
  if (wal)
    if (auto st = wal->sync_and_reopen_all(); !st.ok())
      return failed("compact_wal failed", std::move(st.error()));
  if (auto st = backend->put(Partition::kInternalMetadata, kCheckpointSeqKey, std::string(8, '\0'));
      !st.ok())
    return failed("compact_wal failed", std::move(st.error()));
  if (auto st = backend->flush(); !st.ok()) return failed("compact_wal failed", std::move(st.error()));
  return {};
}

}  // namespace zv
