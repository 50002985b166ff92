#include "src/index/hnsw_index.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <unordered_set>

#include "platform/fill_message.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "src/index/index_file.h"
#include "src/index/index_persistence.h"
#include "src/index/ivf_index.h"
#include "src/index/scann_index.h"
#include "src/vector/kernel_call.h"

namespace zv {
namespace {


}  // namespace

ZolvaResult<void> check_filter_size(const FilterBitset& filter) {
  if (filter.words().size() <= FilterBitset::kMaxWords) return {};
  return make_unexpected(ZolvaError::validation(
      kFilterField, fill(kFilterTooLargeMessage, {std::to_string(filter.words().size()),
                                                  std::to_string(FilterBitset::kMaxWords)})));
}

ZolvaResult<void> check_config(const HnswConfig& c) {
  auto refuse = [](const char* field, std::string value, const std::string& limit) {
    return make_unexpected(
        ZolvaError::validation(field, fill(kConfigLimitMessage, {std::move(value), limit})));
  };
  if (!std::isfinite(c.ml) || c.ml < 0.0 || c.ml > kMaxPlausibleMl)
    return refuse("ml", std::to_string(c.ml), std::to_string(kMaxPlausibleMl));
  if (c.m > kMaxPlausibleM) return refuse("m", std::to_string(c.m), std::to_string(kMaxPlausibleM));
  if (c.m_max0 > kMaxPlausibleM)
    return refuse("m_max0", std::to_string(c.m_max0), std::to_string(kMaxPlausibleM));
  if (c.ef_construction > kMaxPlausibleEf) {
    return refuse("ef_construction", std::to_string(c.ef_construction),
                  std::to_string(kMaxPlausibleEf));
  }
  if (c.ef_search > kMaxPlausibleEf)
    return refuse("ef_search", std::to_string(c.ef_search), std::to_string(kMaxPlausibleEf));
  return {};
}

ZolvaResult<void> check_level(uint64_t level) {
  if (level <= kMaxPlausibleLevel) return {};
  return make_unexpected(ZolvaError::validation(
      kLevelField,
      fill(kConfigLimitMessage, {std::to_string(level), std::to_string(kMaxPlausibleLevel)})));
}

ZolvaResult<std::unique_ptr<HnswIndex>> HnswIndex::create(HnswConfig config,
                                                          IndexBacking backing) {
  ZV_TRY(check_config(config));
  return std::make_unique<HnswIndex>(std::move(config), std::move(backing));
}

LayerQuery LayerQuery::for_metric(F32View q, DistanceMetric metric) {
  LayerQuery p;
  p.q = q;
  if (metric == DistanceMetric::kSparseDot) return p;
  const float n = q.empty() ? 0.0f : std::sqrt(kern::dot_norm(q, q).second);
  p.has_norm = true;
  p.norm = n;
  if (metric == DistanceMetric::kCosine) {
    p.cosine = true;
    p.inv_norm = n > 0.0f ? 1.0f / n : 0.0f;
  }
  return p;
}

HnswIndex::HnswIndex(HnswConfig config, IndexBacking backing)
    : config_(std::move(config)),
      flat_threshold_(encode_flat_threshold(config_.flat_threshold)),
      backing_(std::move(backing)),
      // A list overflows its limit by one before it is pruned, and a prune
      // rarely keeps more than the limit; the longer lists stay in the
      // layer map.
      table_(static_cast<uint32_t>(std::min<uint64_t>(config_.m_max0, 128) + 8)) {}

HnswIndex::~HnswIndex() = default;

IoStatus HnswIndex::sync_mmap() {
  if (!backing_.is_file_backed()) return {};
  const std::string path = *backing_.path();
  ZV_ASSIGN_OR_RETURN(std::string image, serialize_index(*this));
  // The image is read back from the written file before it replaces the old
  // one; the nodes it holds are this index's own, which therefore stay.
  ZV_ASSIGN_OR_RETURN(std::shared_ptr<MemoryMap> map, replace_and_map(image, path, true));
  backing_ = IndexBacking::mapped(path, std::move(map));
  ZV_LOG(log::Level::kInfo, "zolva::index::persist", kSynced, {"path", path},
         {"nodes", std::to_string(len())}, {"bytes", std::to_string(image.size())});
  return {};
}

IoStatus HnswIndex::persist(const std::string& path) const { return persist_index(*this, path); }

IoResult<std::unique_ptr<VectorIndexPort>> HnswIndex::persist_and_remap(
    const std::string& path) const {
  ZV_ASSIGN_OR_RETURN(std::unique_ptr<HnswIndex> fresh, persist_and_remap_index(*this, path));
  return std::unique_ptr<VectorIndexPort>(std::move(fresh));
}

std::unique_ptr<VectorIndexPort> HnswIndex::empty_like(const std::string& path) const {
  IndexBacking b = backing_.is_file_backed() ? IndexBacking::unmapped(path)
                                             : IndexBacking::in_memory();
  return std::make_unique<HnswIndex>(config(), std::move(b));
}

std::optional<uint32_t> HnswIndex::slot_with_record(NodeId id) const {
  auto s = table_.find(id);
  if (!s) return std::nullopt;
  NodeSlot& slot = table_.at(*s);
  SharedSpinGuard g(slot.record_lock);
  if (!slot.has_record) return std::nullopt;
  return s;
}

std::optional<uint64_t> HnswIndex::storage_offset(NodeId id) const {
  auto s = table_.find(id);
  if (!s) return std::nullopt;
  NodeSlot& slot = table_.at(*s);
  SharedSpinGuard g(slot.record_lock);
  if (!slot.has_record) return std::nullopt;
  return slot.record.storage_offset;
}

std::optional<VectorRepr> HnswIndex::vector(NodeId id) const {
  auto s = table_.find(id);
  if (!s) return std::nullopt;
  NodeSlot& slot = table_.at(*s);
  SharedSpinGuard g(slot.record_lock);
  if (!slot.has_record) return std::nullopt;
  return slot.record.given_vector();
}

std::optional<std::pair<uint64_t, VectorRepr>> HnswIndex::vector_and_offset(NodeId id) const {
  auto s = table_.find(id);
  if (!s) return std::nullopt;
  NodeSlot& slot = table_.at(*s);
  SharedSpinGuard g(slot.record_lock);
  if (!slot.has_record) return std::nullopt;
  return std::make_pair(slot.record.storage_offset, slot.record.given_vector());
}

std::optional<bool> HnswIndex::is_sq8(NodeId id) const {
  auto s = table_.find(id);
  if (!s) return std::nullopt;
  NodeSlot& slot = table_.at(*s);
  SharedSpinGuard g(slot.record_lock);
  if (!slot.has_record) return std::nullopt;
  return slot.record.vector.kind() == VectorKind::kSq8;
}

bool HnswIndex::contains(NodeId id) const { return slot_with_record(id).has_value(); }

std::optional<NodeId> HnswIndex::entry_point() const {
  const uint32_t s = entry_slot_.load(std::memory_order_acquire);
  if (s == kNoSlot) return std::nullopt;
  return table_.id_of(s);
}

void HnswIndex::set_entry_point(NodeId id) {
  if (id == kMaxNodeId) {
    entry_slot_.store(kNoSlot, std::memory_order_release);
    return;
  }
  entry_slot_.store(table_.intern(id), std::memory_order_release);
}

std::optional<NodeId> HnswIndex::top_level_node() const {
  std::optional<NodeId> best;
  uint64_t best_layers = 0;
  const uint32_t n = table_.slot_count();
  for (uint32_t s = 0; s < n; ++s) {
    NodeSlot& slot = table_.at(s);
    {
      SharedSpinGuard g(slot.record_lock);
      if (!slot.has_record) continue;
    }
    const uint64_t layers = slot.layer_count.load(std::memory_order_acquire);
    if (!best || layers >= best_layers) {
      best = slot.id;
      best_layers = layers;
    }
  }
  return best;
}

std::vector<NodeId> HnswIndex::node_ids() const {
  std::vector<NodeId> out;
  const uint32_t n = table_.slot_count();
  for (uint32_t s = 0; s < n; ++s) {
    NodeSlot& slot = table_.at(s);
    SharedSpinGuard g(slot.record_lock);
    if (slot.has_record) out.push_back(slot.id);
  }
  return out;
}

std::vector<NodeSummary> HnswIndex::node_summaries() const {
  std::vector<NodeSummary> out;
  const uint32_t n = table_.slot_count();
  for (uint32_t s = 0; s < n; ++s) {
    NodeSlot& slot = table_.at(s);
    SharedSpinGuard g(slot.record_lock);
    if (slot.has_record)
      out.push_back({slot.id, slot.record.storage_offset, slot.record.flags});
  }
  return out;
}

std::vector<NodeId> HnswIndex::neighbors(NodeId id, uint64_t layer) const {
  std::vector<NodeId> out;
  auto s = table_.find(id);
  if (!s) return out;
  NodeSlot& slot = table_.at(*s);
  SharedSpinGuard g(slot.links_lock);
  if (!slot.has_list(layer)) return out;
  SlotList scratch;
  for (uint32_t n : slot.list_at(layer, scratch)) out.push_back(table_.id_of(n));
  return out;
}

std::vector<NodeId> HnswIndex::node_layer_neighbors(NodeId id, uint64_t layer) const {
  // A node's own lists are its layer-map lists while it has a record.
  if (!contains(id)) return {};
  return neighbors(id, layer);
}

uint64_t HnswIndex::node_level(NodeId id) const {
  auto s = table_.find(id);
  if (!s) return 0;
  return table_.at(*s).layer_count.load(std::memory_order_acquire);
}

uint32_t HnswIndex::reverse_link_count(NodeId id) const {
  auto s = table_.find(id);
  if (!s) return 0;
  return table_.at(*s).reverse_count.load(std::memory_order_acquire);
}

uint64_t HnswIndex::memory_usage() const {
  const int64_t heap = heap_bytes_.load(std::memory_order_acquire);
  return table_.table_bytes() + static_cast<uint64_t>(std::max<int64_t>(heap, 0));
}

uint64_t HnswIndex::random_level() const { return zv::random_level(config_.ml); }

std::vector<uint64_t> HnswIndex::levels_for_batch(uint64_t seed, uint64_t count) const {
  return zv::levels_for_batch(seed, count, config_.ml);
}

bool HnswIndex::set_storage_offset(NodeId id, uint64_t offset) {
  auto s = table_.find(id);
  if (!s) return false;
  NodeSlot& slot = table_.at(*s);
  ExclusiveSpinGuard g(slot.record_lock);
  if (!slot.has_record) return false;
  slot.record.storage_offset = offset;
  // IVF entries hold no offsets: the IVF cache (and its persisted copy)
  // stays current. The ScaNN-style cache, whose entries do, sees the change.
  offset_changes_.fetch_add(1, std::memory_order_acq_rel);
  return true;
}

bool HnswIndex::remove(NodeId id) {
  auto s = table_.find(id);
  if (!s) return false;
  NodeSlot& slot = table_.at(*s);
  HnswNode dropped;  // released after the lock
  {
    ExclusiveSpinGuard g(slot.record_lock);
    if (!slot.has_record) return false;
    account(-record_heap_bytes(slot.record));
    dropped = std::move(slot.record);
    slot.record = HnswNode{};
    slot.has_record = false;
    slot.refresh_hint();
    records_.fetch_sub(1, std::memory_order_acq_rel);
    mutations_.fetch_add(1, std::memory_order_acq_rel);
  }
  return true;
}

std::optional<std::vector<std::string>> HnswIndex::integrity_violations() const {
  std::vector<std::string> out;
  const uint32_t n = table_.slot_count();
  // One pass for the live slots, so that each neighbour costs a bit test.
  std::vector<uint8_t> live(n, 0);
  for (uint32_t s = 0; s < n; ++s) {
    NodeSlot& slot = table_.at(s);
    SharedSpinGuard g(slot.record_lock);
    live[s] = slot.has_record ? 1 : 0;
  }
  auto has_record = [&](uint32_t s) {
    if (s < n) return live[s] != 0;
    NodeSlot& slot = table_.at(s);
    SharedSpinGuard g(slot.record_lock);
    return slot.has_record;
  };
  for (uint32_t s = 0; s < n; ++s) {
    if (!live[s]) continue;
    NodeSlot& slot = table_.at(s);
    const std::string id = node_id_to_string(slot.id);
    const uint64_t layers = slot.layer_count.load(std::memory_order_acquire);
    if (layers == 0) {
      out.push_back(fill("Node {} has empty neighbors array (expected \xE2\x89\xA5" "1 layer)", {id}));
      continue;
    }
    for (uint64_t l = 0; l < layers; ++l) {
      SlotList list;
      {
        SharedSpinGuard g(slot.links_lock);
        if (!slot.has_list(l)) continue;
        const SlotList& held = slot.list_at(l, list);
        if (&held != &list) list = held;
      }
      for (uint32_t nb : list) {
        if (nb == s) {
          out.push_back(fill("Node {} has a self-loop at layer {}", {id, std::to_string(l)}));
        } else if (!has_record(nb)) {
          out.push_back(fill("Node {} references non-existent neighbor {} at layer {}",
                             {id, node_id_to_string(table_.id_of(nb)), std::to_string(l)}));
        }
      }
    }
  }
  const uint32_t ep = entry_slot_.load(std::memory_order_acquire);
  if (ep != kNoSlot && !has_record(ep)) {
    out.push_back(fill("Entry point {} does not exist in the node map",
                       {node_id_to_string(table_.id_of(ep))}));
  }
  if (out.empty()) return std::nullopt;
  return out;
}

MaterializeReport HnswIndex::materialize_layers() {
  const uint64_t start = monotonic_ns();
  MaterializeReport report;
  const uint32_t n = table_.slot_count();
  std::vector<uint8_t> live(n, 0);
  for (uint32_t s = 0; s < n; ++s) {
    NodeSlot& slot = table_.at(s);
    SharedSpinGuard g(slot.record_lock);
    live[s] = slot.has_record ? 1 : 0;
  }
  auto is_live = [&](uint32_t s) { return s < n && live[s]; };
  std::vector<std::pair<uint32_t, uint64_t>> noted;
  for (uint32_t s = 0; s < n; ++s) {
    NodeSlot& slot = table_.at(s);
    const uint64_t layers = slot.layer_count.load(std::memory_order_acquire);
    if (layers == 0) continue;
    ++report.entries_examined;
    SharedSpinGuard g(slot.links_lock);
    for (uint64_t l = 0; l < layers; ++l) {
      ++report.lists_examined;
      if (!slot.has_list(l)) continue;
      uint64_t dangling = 0;
      SlotList scratch;
      for (uint32_t nb : slot.list_at(l, scratch)) dangling += is_live(nb) ? 0 : 1;
      if (dangling) {
        report.dangling_ids += dangling;
        noted.emplace_back(s, l);
      }
    }
  }
  for (auto [s, l] : noted) {
    NodeSlot& slot = table_.at(s);
    SlotList kept;
    {
      ExclusiveSpinGuard g(slot.links_lock);
      if (!slot.has_list(l)) continue;
      SlotList scratch;
      for (uint32_t nb : slot.list_at(l, scratch)) {
        if (is_live(nb)) {
          kept.push_back(nb);
        } else {
          count_unlink(table_.at(nb), l);
        }
      }
      const int64_t before = links_heap_bytes(slot);
      slot.set_list(l, kept);
      account(links_heap_bytes(slot) - before);
    }
  }
  report.elapsed_ms = (monotonic_ns() - start) / 1'000'000;
  return report;
}

std::vector<NodeId> HnswIndex::bfs_order() const {
  std::vector<NodeId> out;
  const uint32_t n = table_.slot_count();
  VisitedSet visited;
  std::deque<uint32_t> queue;
  const uint32_t ep = entry_slot_.load(std::memory_order_acquire);
  if (ep != kNoSlot) {
    visited.insert(ep);
    queue.push_back(ep);
  }
  while (!queue.empty()) {
    const uint32_t s = queue.front();
    queue.pop_front();
    NodeSlot& slot = table_.at(s);
    out.push_back(slot.id);
    {
      SharedSpinGuard g(slot.record_lock);
      if (!slot.has_record) continue;
    }
    const uint64_t layers = slot.layer_count.load(std::memory_order_acquire);
    SharedSpinGuard g(slot.links_lock);
    SlotList scratch;
    for (uint64_t l = layers; l-- > 0;) {
      if (!slot.has_list(l)) continue;
      for (uint32_t nb : slot.list_at(l, scratch))
        if (visited.insert(nb)) queue.push_back(nb);
    }
  }
  std::vector<NodeId> rest;
  for (uint32_t s = 0; s < n; ++s) {
    if (visited.contains(s)) continue;
    NodeSlot& slot = table_.at(s);
    SharedSpinGuard g(slot.record_lock);
    if (slot.has_record) rest.push_back(slot.id);
  }
  std::sort(rest.begin(), rest.end());
  out.insert(out.end(), rest.begin(), rest.end());
  return out;
}

}  // namespace zv
