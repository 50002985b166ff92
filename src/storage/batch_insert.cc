// The batch insert: one pass over a list of nodes, each engine structure
// locked once for the whole batch.
#include "src/storage/batch_insert.h"

#include <algorithm>
#include <unordered_map>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "platform/log.h"
#include "src/backends/backend_kv_service.h"
#include "src/record/node_key.h"
#include "src/storage/storage_engine.h"
#include "src/storage/write_checks.h"
#include "src/wal/wal_records.h"

namespace zv {

namespace {

constexpr const char* kLogTarget = "zivir::storage::batch";
constexpr size_t kLookupChunk = 256;
constexpr uint64_t kReservePerNode = 1280;
constexpr uint64_t kLevelSeed = 42;

struct StoredVersion {
  FieldMap fields;
  std::vector<NodeEdge> edges;
};

ZolvaStatus failed(ZolvaError e) {
  ZV_ERROR(kLogTarget, "batch insert failed", {"error", e.message()});
  return make_unexpected(std::move(e));
}

std::string opts_text(const BatchInsertOptions& o) {
  return "BatchInsertOptions { skip_existing_check: " + std::string(o.skip_existing_check ? "true" : "false") +
         ", skip_wal: " + (o.skip_wal ? "true" : "false") + ", insert_mode: " +
         std::to_string(static_cast<int>(o.insert_mode)) + ", incremental_threshold: " +
         (o.incremental_threshold ? std::to_string(*o.incremental_threshold) : "None") + " }";
}

}  // namespace

ZolvaStatus StorageEngine::batch_insert_with_opts(std::span<const EngineNode> nodes,
                                                  const BatchInsertOptions& opts) {
  if (nodes.empty()) return {};
  std::optional<log::Span> span;
  if (log::enabled(log::Level::kDebug))
    span.emplace("batch_insert_with_opts", log::Fields{{"opts", opts_text(opts)}});
  ZV_TRY(check_memory_pressure());
  if (auto w = check_writable(); !w.ok()) return failed(std::move(w.error()));

  // One refused node refuses the batch before anything changes, whether or
  // not its vectors enter the index now.
  std::shared_ptr<VectorIndexPort> index = vector_index();
  std::vector<std::string> values(nodes.size());
  for (size_t i = 0; i < nodes.size(); ++i) {
    auto v = check_node_write(nodes[i], index.get());
    if (!v.ok()) return failed(std::move(v.error()));
    values[i] = std::move(v.value());
  }

  // Stored versions, read in parallel chunks; results in batch order.
  std::vector<std::optional<StoredVersion>> stored(nodes.size());
  if (!opts.skip_existing_check) {
    const size_t chunks = (nodes.size() + kLookupChunk - 1) / kLookupChunk;
    tbb::parallel_for(tbb::blocked_range<size_t>(0, chunks), [&](const tbb::blocked_range<size_t>& r) {
      for (size_t c = r.begin(); c != r.end(); ++c) {
        const size_t lo = c * kLookupChunk, hi = std::min(nodes.size(), lo + kLookupChunk);
        std::vector<bool> answered(hi - lo, false);
        {
          std::shared_lock cache(node_cache.mutex());
          const auto& map = node_cache.map_locked();
          for (size_t i = lo; i < hi; ++i) {
            auto it = map.find(nodes[i].id);
            if (it == map.end()) continue;
            answered[i - lo] = true;
            if (!(it->second.flags & kRecordDeletedFlag))
              stored[i] = StoredVersion{it->second.fields, it->second.edges};
          }
        }
        for (size_t i = lo; i < hi; ++i) {
          if (answered[i - lo]) continue;
          auto got = backend->get(Partition::kDefault, node_key(nodes[i].id));
          if (!got.ok() || !got.value()) continue;
          auto meta = decode_node_metadata(*got.value());
          if (meta.ok()) stored[i] = StoredVersion{std::move(meta.value().fields), std::move(meta.value().edges)};
        }
      }
    });
  }

  {
    std::unique_lock fs(field_stats.mu);
    EngineNode scratch;
    // An id met earlier in the batch replaces that occurrence, as a second
    // insert would, rather than the stored version (already uncounted).
    std::unordered_map<NodeId, size_t, NodeIdHash> met;
    met.reserve(nodes.size());
    for (size_t i = 0; i < nodes.size(); ++i) {
      auto [prev, first] = met.try_emplace(nodes[i].id, i);
      const FieldMap* replaced = nullptr;
      if (!first) {
        replaced = &nodes[prev->second].fields;
        prev->second = i;
      } else if (stored[i]) {
        replaced = &stored[i]->fields;
      }
      if (replaced) {
        scratch.fields = *replaced;
        field_stats.value.remove_node(scratch);
        if (scalar_index)
          for (const auto& [name, value] : *replaced) scalar_index->remove(name, value, nodes[i].id);
      }
      field_stats.value.count_node(nodes[i]);
      if (scalar_index)
        for (const auto& [name, value] : nodes[i].fields) scalar_index->insert(name, value, nodes[i].id);
    }
    field_stats.value.trim();
  }

  const bool index_now = opts.indexes_now(nodes.size());
  std::vector<uint64_t> positions;
  positions.reserve(nodes.size());
  std::vector<BatchOp> ops;
  ops.reserve(nodes.size() + 1);
  // The insert lock comes before the append: a layout compaction holds it
  // while it rewrites segment 0 from the index, so nodes appended outside it
  // could be left behind in the old file with positions nobody can read.
  auto guard = lock_insert("batch_insert");
  if (!guard.ok()) return failed(std::move(guard.error()));
  {
    auto seg = lock_segment0();
    if (!seg.ok()) return failed(std::move(seg.error()));
    VFile& f = segments[0]->file;
    const uint64_t need = saturating_add(f.write_offset(), kReservePerNode * nodes.size());
    if (need > f.capacity()) {
      const uint64_t doubled = f.capacity() > UINT64_MAX / 2 ? UINT64_MAX : f.capacity() * 2;
      if (auto g = f.grow_to(std::max(doubled, saturating_add(need, 4096))); !g.ok())
        return failed(std::move(g.error()));
    }
    for (size_t i = 0; i < nodes.size(); ++i) {
      auto p = f.append_node(nodes[i]);
      if (!p.ok()) {
        seg.value().unlock();
        void_store_records(positions, "failed to write tombstone header after store failure", p.error());
        return failed(std::move(p.error()));
      }
      positions.push_back(p.value());
      ops.push_back(BatchOp::put(Partition::kDefault, node_key(nodes[i].id), std::move(values[i])));
    }
  }
  if (!index_now)
    ops.push_back(BatchOp::put(Partition::kInternalMetadata, std::string(kRebuildPendingKey), ""));

  if (!opts.skip_wal && wal) {
    std::vector<WalRecord> records;
    records.reserve(nodes.size());
    for (const EngineNode& n : nodes) records.emplace_back(WalInsert{n});
    if (auto a = wal::append_records(*wal, records); !a.ok()) {
      void_store_records(positions, "failed to write tombstone header after log append failure", a.error());
      return failed(std::move(a.error()));
    }
  }
  if (auto w = backend->write_batch(std::move(ops)); !w.ok()) {
    void_store_records(positions, "failed to write tombstone header after KV batch write failure", w.error());
    return failed(std::move(w.error()));
  }

  if (index_now) {
    index = vector_index();
    const std::vector<uint64_t> levels = index->levels_for_batch(kLevelSeed, nodes.size());
    // Only the last node of an id enters the index, so the entry matches
    // what partition 0 holds; it keeps the level drawn for its position.
    std::unordered_map<NodeId, size_t, NodeIdHash> last;
    last.reserve(nodes.size());
    for (size_t i = 0; i < nodes.size(); ++i) last[nodes[i].id] = i;
    std::vector<size_t> order;
    order.reserve(last.size());
    for (size_t i = 0; i < nodes.size(); ++i)
      if (last[nodes[i].id] == i) order.push_back(i);
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return levels[a] > levels[b]; });
    for (size_t i : order) {
      const EngineNode& n = nodes[i];
      if (auto a = index->add_at_level(n.id, FilterBitset(n.bitset), n.vector,
                                       positions[i] & ~kSegmentMask, levels[i]);
          !a.ok())
        return failed(std::move(a.error()));
    }
  }

  size_t cached = 0;
  {
    std::unique_lock cache(node_cache.mutex());
    auto& map = node_cache.map_locked();
    for (const EngineNode& n : nodes) {
      if (n.tier == Tier::kHot)
        map.insert_or_assign(n.id, n);
      else
        map.erase(n.id);
    }
    node_cache.bump_generation_locked();
    cached = map.size();
  }
  if (cached > node_cache_capacity) {
    if (auto ev = run_eviction(config.eviction_fraction, false, true); !ev.ok())
      ZV_WARN(kLogTarget, "eviction failed: " + ev.error().message());
  }
  return {};
}

}  // namespace zv
