// Point and batch reads through the node cache, with co-access prefetch.
#include <algorithm>
#include <mutex>

#include "platform/clock.h"
#include "platform/log.h"
#include "src/record/node_key.h"
#include "src/storage/storage_engine.h"
#include "src/storage/stored_node.h"
#include "src/storage/stored_payload.h"

namespace zv {

namespace {

constexpr const char* kLogTarget = "zivir::storage::reads";

// Set while a get runs its co-access prefetch, so that the nested reads do
// not prefetch in turn.
thread_local bool in_prefetch = false;

struct PrefetchScope {
  PrefetchScope() { in_prefetch = true; }
  ~PrefetchScope() { in_prefetch = false; }
};

// The bits a batch read clears from the stored flags: deleted and the kind.
constexpr uint32_t kBatchClearedFlags = kRecordDeletedFlag | kVectorKindMask;

std::string ids_text(std::span<const NodeId> ids) {
  std::string out = "[";
  for (size_t i = 0; i < ids.size(); ++i) {
    if (i) out += ", ";
    out += node_id_to_string(ids[i]);
  }
  return out + "]";
}

}  // namespace

ZolvaResult<std::optional<EngineNode>> StorageEngine::get(NodeId id) {
  using Out = std::optional<EngineNode>;
  std::optional<log::Span> span;
  if (log::enabled(log::Level::kTrace)) span.emplace("get", log::Fields{{"id", node_id_to_string(id)}});
  access_tracker->record(id);
  {
    std::unique_lock write(node_cache.mutex(), std::try_to_lock);
    if (write.owns_lock()) {
      auto it = node_cache.map_locked().find(id);
      if (it != node_cache.map_locked().end()) {
        EngineNode& n = it->second;
        if (n.flags & kRecordDeletedFlag) return Out();
        ++n.hits;  // u32, wraps
        n.last_accessed = now_ms();
        return Out(n);
      }
    } else {
      std::shared_lock read(node_cache.mutex());
      auto it = node_cache.map_locked().find(id);
      if (it != node_cache.map_locked().end()) {
        if (it->second.flags & kRecordDeletedFlag) return Out();
        return Out(it->second);
      }
    }
  }
  auto stored = read_stored_node(id);
  if (!stored.ok()) {
    ZV_LOG(log::Level::kDebug, kLogTarget, "get failed", {"error", stored.error().message()});
    return stored;
  }
  if (*stored && !in_prefetch) prefetch_companions(id);
  return stored;
}

void StorageEngine::prefetch_companions(NodeId id) {
  // Nothing learned yet: no lock to take.
  if (cache_warmer.total_entries() == 0) return;
  PrefetchScope scope;
  std::vector<NodeId> kept;
  {
    std::shared_lock cache(node_cache.mutex());
    auto candidates = cache_warmer.companions(id);
    std::sort(candidates.begin(), candidates.end(),
              [](const auto& a, const auto& b) { return a.second > b.second; });
    const size_t walk = std::min<size_t>(candidates.size(), cache_warmer.prefetch_limit);
    for (size_t i = 0; i < walk; ++i)
      if (!node_cache.map_locked().count(candidates[i].first)) kept.push_back(candidates[i].first);
  }
  for (NodeId other : kept) {
    // A writer that replaces or deletes `other` while it is read bumps the
    // generation, and the copy read here is then dropped.
    const uint64_t seen = node_cache.generation();
    auto r = get(other);
    if (!r.ok() || !*r) continue;
    if (node_cache.insert_if_unchanged(std::move(**r), seen))
      cache_warmer.prefetched.fetch_add(1, std::memory_order_relaxed);
  }
}

ZolvaResult<std::vector<EngineNode>> StorageEngine::get_many(std::span<const NodeId> ids) {
  std::vector<EngineNode> out;
  if (ids.empty()) return out;
  std::optional<log::Span> span;
  if (log::enabled(log::Level::kTrace)) span.emplace("get_many", log::Fields{{"ids", ids_text(ids)}});
  out.reserve(ids.size());
  std::vector<NodeId> missed;
  {
    auto pass = [&](bool bump) {
      NodeCache::Map& map = node_cache.map_locked();
      const uint64_t now = bump ? now_ms() : 0;
      for (NodeId id : ids) {
        access_tracker->record(id);
        auto it = map.find(id);
        if (it == map.end()) {
          missed.push_back(id);
          continue;
        }
        EngineNode& n = it->second;
        if (n.flags & kRecordDeletedFlag) continue;
        if (bump) {
          ++n.hits;
          n.last_accessed = now;
        }
        out.push_back(n);
      }
    };
    std::unique_lock write(node_cache.mutex(), std::try_to_lock);
    if (write.owns_lock()) {
      pass(true);
    } else {
      std::shared_lock read(node_cache.mutex());
      pass(false);
    }
  }
  if (missed.empty()) return out;

  std::vector<std::string> keys;
  keys.reserve(missed.size());
  for (NodeId id : missed) keys.push_back(node_key(id));
  auto pairs = backend->multi_get(Partition::kDefault, keys);
  if (!pairs.ok()) {
    ZV_LOG(log::Level::kDebug, kLogTarget, "get_many failed", {"error", pairs.error().message()});
    return make_unexpected(std::move(pairs).error());
  }
  for (const KvPair& p : *pairs) {
    if (!node_id_from_key(p.key))
      return make_unexpected(ZolvaError::backend("corrupt backend: key length " +
                                                 std::to_string(p.key.size()) + " != 16"));
  }

  // The pairs answer the keys that exist in request order (a key asked twice
  // twice), so they are walked in step with the ids asked.
  const std::shared_ptr<VectorIndexPort> index = vector_index();
  size_t next_pair = 0;
  for (size_t k = 0; k < missed.size(); ++k) {
    const NodeId id = missed[k];
    if (next_pair == pairs->size() || pairs.value()[next_pair].key != keys[k]) continue;
    auto metadata = decode_node_metadata(pairs.value()[next_pair++].value);
    if (!metadata.ok()) continue;
    // The offset alone: the index's vector copy is needed only for a record
    // stored without values (kind 0, length 0), and is fetched then.
    const std::optional<uint64_t> offset = index->storage_offset(id);
    if (!offset) continue;
    auto seg = segment_for(*offset, id);
    if (!seg.ok()) return make_unexpected(std::move(seg).error());
    NodeRecordHeader h;
    VectorRepr vector;
    if (!read_live_record(**seg, *offset, id, h, vector)) continue;
    if (h.kind() == 0 && h.vector_len == 0) {
      std::optional<VectorRepr> copy = index->vector(id);
      vector = copy && (copy->as_binary() || copy->as_turbo() || copy->as_sq8())
                   ? std::move(*copy)
                   : VectorRepr::none();
    }
    out.push_back(assemble_stored_node(id, h, std::move(vector), std::move(*metadata),
                                       h.flags & ~kBatchClearedFlags));
  }
  if (out.size() >= 2) {
    std::vector<NodeId> got;
    got.reserve(out.size());
    for (const EngineNode& n : out) got.push_back(n.id);
    cache_warmer.record_access(got);
  }
  return out;
}

}  // namespace zv
