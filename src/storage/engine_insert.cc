// The single-node insert, the pending vector-index list and the raw
// key-value writes of the engine.
#include <optional>

#include "platform/clock.h"
#include "platform/log.h"
#include "src/backends/backend_kv_service.h"
#include "src/record/node_key.h"
#include "src/storage/storage_engine.h"
#include "src/storage/write_checks.h"
#include "src/wal/wal_records.h"

namespace zv {

namespace {
constexpr const char* kLogTarget = "zivir::storage::insert";

ZolvaStatus failed(ZolvaError e) {
  ZV_ERROR(kLogTarget, "insert failed", {"error", e.message()});
  return make_unexpected(std::move(e));
}
}  // namespace

void StorageEngine::void_store_records(std::span<const uint64_t> positions, const char* what,
                                       const ZolvaError& cause) {
  if (segments.empty() || positions.empty()) return;
  std::unique_lock lock(segments[0]->lock);
  VFile& f = segments[0]->file;
  for (uint64_t raw : positions) {
    const uint64_t pos = raw & ~kSegmentMask;
    std::optional<NodeRecordHeader> h = f.node_header_at(pos);
    if (!h) continue;
    // Deleted and owned by no id: a rebuild from the store passes over it,
    // so it can neither revive the failed write nor hide an older version.
    h->flags |= kRecordDeletedFlag;
    h->node_id = 0;
    if (auto w = f.write_node_header(pos, *h); !w.ok())
      ZV_ERROR(kLogTarget, what, {"offset", std::to_string(pos)}, {"batch_error", cause.message()},
               {"header_error", w.error().message()});
  }
}

ZolvaStatus StorageEngine::insert(const EngineNode& node) {
  std::optional<log::Span> span;
  if (log::enabled(log::Level::kDebug)) span.emplace("insert");
  ZV_TRY(check_memory_pressure());
  std::optional<EngineNode> stored;
  if (auto r = get(node.id); r.ok()) stored = std::move(r.value());
  {
    std::unique_lock fs(field_stats.mu);
    if (stored) {
      field_stats.value.remove_node(*stored);
      field_stats.value.add_node(node);
      if (scalar_index)
        for (const auto& [name, value] : stored->fields) scalar_index->remove(name, value, node.id);
    } else {
      field_stats.value.add_node(node);
    }
  }
  if (scalar_index)
    for (const auto& [name, value] : node.fields) scalar_index->insert(name, value, node.id);
  if (auto w = check_writable(); !w.ok()) return failed(std::move(w.error()));

  // Everything a later step would refuse is refused before the log sees it.
  std::shared_ptr<VectorIndexPort> index = vector_index();
  auto value = check_node_write(node, index.get());
  if (!value.ok()) return failed(std::move(value.error()));

  const uint64_t t = now_ms();
  auto guard = lock_insert("insert (WAL + queue)");
  if (!guard.ok()) return failed(std::move(guard.error()));
  if (wal) {
    EngineNode copy = node;
    copy.last_accessed = t;
    if (auto a = wal::append_record(*wal, WalRecord{WalInsert{std::move(copy)}}); !a.ok())
      return failed(std::move(a.error()));
  }
  std::optional<log::Span> apply;
  if (span) apply.emplace("apply_insert");

  uint64_t pos = 0;
  {
    auto seg = lock_segment0();
    if (!seg.ok()) return failed(std::move(seg.error()));
    auto p = segments[0]->file.append_node(node);
    if (!p.ok()) return failed(std::move(p.error()));
    pos = p.value();
  }
  const uint64_t offset = pos & ~kSegmentMask;
  const uint64_t positions[1] = {pos};

  // The entry a replaced node had, restored when the write fails later.
  std::optional<std::pair<uint64_t, VectorRepr>> earlier = index->vector_and_offset(node.id);
  std::vector<uint64_t> earlier_filter = stored ? stored->bitset : std::vector<uint64_t>{};
  auto restore_index = [&] {
    auto current = vector_index();
    if (earlier)
      (void)current->add(node.id, FilterBitset(earlier_filter), earlier->second, earlier->first);
    else
      current->remove(node.id);
  };

  ZolvaStatus queued = queue_hnsw_insert(PendingHnswInsert{node.vector, node.id, offset, node.bitset});
  if (queued.ok()) {
    auto drained = drain_pending_hnsw();
    if (!drained.ok()) queued = make_unexpected(std::move(drained.error()));
  }
  if (!queued.ok()) {
    restore_index();
    void_store_records(positions, "failed to write tombstone header after index failure",
                       queued.error());
    return failed(std::move(queued.error()));
  }

  if (auto put = backend->put(Partition::kDefault, node_key(node.id), value.value()); !put.ok()) {
    restore_index();
    if (segments.empty())
      return failed(ZolvaError::generic("corrupt storage: vector_store has no segment 0"));
    void_store_records(positions, "failed to write tombstone header after KV put failure",
                       put.error());
    return failed(std::move(put.error()));
  }

  size_t cached = 0;
  if (node.tier == Tier::kHot) {
    node_cache.put(node);
    cached = node_cache.size();
  } else {
    node_cache.remove(node.id);
  }
  if (node.tier == Tier::kHot && cached > node_cache_capacity) {
    if (auto ev = run_eviction(config.eviction_fraction, false, true); !ev.ok())
      ZV_WARN(kLogTarget, "eviction failed: " + ev.error().message());
  }
  if (auto d = drain_pending_hnsw(); !d.ok()) return failed(std::move(d.error()));
  return {};
}

ZolvaStatus StorageEngine::queue_hnsw_insert(PendingHnswInsert item) {
  std::scoped_lock lock(pending_hnsw.mu);
  pending_hnsw.value.push_back(std::move(item));
  return {};
}

ZolvaResult<bool> StorageEngine::drain_pending_hnsw() {
  std::vector<PendingHnswInsert> taken;
  {
    std::scoped_lock lock(pending_hnsw.mu);
    if (pending_hnsw.value.empty()) return false;
    taken.swap(pending_hnsw.value);
  }
  std::shared_ptr<VectorIndexPort> index = vector_index();
  for (PendingHnswInsert& p : taken)
    ZV_TRY(index->add(p.id, FilterBitset(std::move(p.filter_words)), std::move(p.vector),
                      p.storage_offset));
  return true;
}

ZolvaStatus StorageEngine::kv_put(Partition p, std::string_view key, std::string_view value) {
  ZV_TRY(check_writable());
  return backend->put(p, key, value);
}

ZolvaStatus StorageEngine::kv_write_batch(std::vector<BatchOp> ops) {
  ZV_TRY(check_writable());
  return backend->write_batch(std::move(ops));
}

ZolvaResult<std::vector<KvPair>> StorageEngine::scan_prefix(Partition p, std::string_view prefix) {
  return backend->scan_prefix(p, prefix);
}

}  // namespace zv
