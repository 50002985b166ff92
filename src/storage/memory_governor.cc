// The memory governor, the eviction pass and node consolidation.
#include "src/storage/memory_governor.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "platform/clock.h"
#include "platform/log.h"
#include "platform/sysinfo.h"
#include "src/backends/backend_kv_service.h"
#include "src/record/node_codec.h"
#include "src/record/node_key.h"
#include "src/runtime/operational_counters.h"
#include "src/storage/storage_engine.h"

namespace zv {

namespace {
constexpr const char* kLogTarget = "zivir::storage::memory";
}  // namespace

double eviction_score(const EngineNode& n, const Config& c, uint64_t now) {
  double age = 1.0;
  if (n.last_accessed != 0) {
    const uint64_t secs = (now - n.last_accessed) / 1000;  // unsigned difference
    age = static_cast<double>(std::max<uint64_t>(secs, 1));
  }
  return static_cast<double>(n.hits) * c.eviction_weights[0] +
         static_cast<double>(n.confidence_score) * c.eviction_weights[1] +
         static_cast<double>(n.importance) * c.eviction_weights[2] +
         c.eviction_weights[3] / std::log(1.0 + age);
}

std::vector<size_t> eviction_victims(const std::vector<EngineNode>& candidates, double fraction,
                                     const Config& config, uint64_t now) {
  const double f = std::clamp(fraction, 0.0, 1.0);
  if (!(f > 0.0) || candidates.empty()) return {};
  const size_t k = static_cast<size_t>(
      std::max(f * static_cast<double>(candidates.size()), 1.0));
  std::vector<std::pair<double, size_t>> scored;
  scored.reserve(candidates.size());
  for (size_t i = 0; i < candidates.size(); ++i) {
    const double s = eviction_score(candidates[i], config, now);
    if (!std::isnan(s)) scored.emplace_back(s, i);
  }
  std::stable_sort(scored.begin(), scored.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<size_t> out;
  for (size_t i = 0; i < scored.size() && i < k; ++i) out.push_back(scored[i].second);
  return out;
}

uint64_t evicted_size_estimate(const EngineNode& n) {
  const uint64_t payload = n.vector.payload_bytes();
  return payload + 48 * n.edges.capacity() + 64 * n.fields.size() + 256;
}

std::string memory_pressure_message(uint64_t usage, uint64_t limit, double ratio) {
  const uint64_t pct = saturating_u64(static_cast<double>(usage) / static_cast<double>(limit) * 100.0);
  return "Memory pressure: " + std::to_string(usage) + " bytes used (" + std::to_string(pct) +
         "% of " + std::to_string(limit) + " limit, threshold " +
         std::to_string(saturating_u64(ratio * 100.0)) + "%)";
}

MemoryUsage StorageEngine::memory_usage() {
  auto index = vector_index();
  std::shared_lock cache(node_cache.mutex());
  MemoryUsage u;
  uint64_t capacity = 0;
  for (const auto& seg : segments) {
    std::shared_lock l(seg->lock);
    capacity = saturating_add(capacity, seg->file.capacity());
  }
  const uint64_t cached = node_cache.map_locked().size();
  u.estimated_bytes = saturating_add(saturating_add(capacity, index ? index->memory_usage() : 0),
                                     1536 * cached);
  for (const auto& seg : segments) {
    std::shared_lock l(seg->lock);
    const ResidentBytes r = seg->file.resident();
    if (r.known) {
      u.resident_known = true;
      u.resident_bytes = saturating_add(u.resident_bytes, r.bytes);
    }
  }
  if (index) {
    if (auto r = index->mmap_resident_bytes()) {
      u.resident_known = true;
      u.resident_bytes = saturating_add(u.resident_bytes, *r);
    }
    u.index_len = index->len();
  }
  u.cache_entries = cached;
  auto& counters = OperationalCounters::global();
  u.evicted_total = counters.evicted_nodes.read();
  u.evicted_bytes_total = counters.evicted_bytes_estimate.read();
  u.memory_limit = MemoryBudget::limit_for(config);
  u.sq8_vectors = counters.sq8_vectors.read();
  return u;
}

ZolvaStatus StorageEngine::check_memory_pressure() {
  const double ratio = config.memory_pressure_ratio;
  if (!(ratio > 0.0)) return {};
  // The working set costs one system call; the residency walk over every
  // mapped page runs only when that query gives nothing.
  std::optional<uint64_t> ws;
  if (memory_probe.working_set) {
    ws = memory_probe.working_set();
  } else if (auto r = process_working_set_bytes(); r.ok()) {
    ws = r.value();
  }
  uint64_t usage = 0;
  if (ws && *ws != 0) {
    usage = *ws;
  } else {
    const MemoryUsage u = memory_probe.usage ? memory_probe.usage() : memory_usage();
    usage = u.resident_known ? u.resident_bytes : u.estimated_bytes;
  }
  if (usage == 0) return {};
  MemoryBudget& budget = *memory_budget;
  const uint64_t limit = budget.limit_bytes();
  const bool over = limit != 0 && static_cast<double>(usage) > static_cast<double>(limit) * ratio;
  if (over) {
    // Only the usage measured now decides; the recorded one is for reports.
    const bool exceeded = limit != 0 && budget.usage_bytes.load() > limit;
    ZV_LOG(log::Level::kWarn, kLogTarget, "Memory pressure detected — triggering auto-eviction",
           {"effective_bytes", std::to_string(usage)},
           {"threshold_pct", std::to_string(saturating_u64(ratio * 100.0))},
           {"reason", exceeded ? "true" : "false"});
    auto r = run_eviction(config.eviction_fraction, exceeded, false);
    if (!r.ok()) ZV_WARN(kLogTarget, "eviction failed: " + r.error().message());
    return make_unexpected(ZolvaError::resource_limit(memory_pressure_message(usage, limit, ratio)));
  }
  budget.usage_bytes.store(usage);
  if (usage <= budget.hard_limit()) return {};
  bool expected = false;
  if (!budget.evicting.compare_exchange_strong(expected, true)) return {};
  const bool exceeded = limit != 0 && usage > limit;
  auto r = run_eviction(config.eviction_fraction, exceeded, false);
  if (!r.ok()) ZV_WARN(kLogTarget, "memory-governor eviction failed: " + r.error().message());
  budget.evicting.store(false);
  budget.last_eviction_ms.store(now_ms());
  return {};
}

ZolvaResult<EvictionReport> StorageEngine::run_eviction(double fraction, bool limit_exceeded,
                                                        bool insert_lock_held) {
  if (read_only()) return make_unexpected(read_only_error());
  EvictionReport report{0, 0, limit_exceeded};
  if (!(std::clamp(fraction, 0.0, 1.0) > 0.0)) return report;
  std::vector<EngineNode> candidates;
  {
    std::shared_lock cache(node_cache.mutex());
    for (const auto& [id, node] : node_cache.map_locked())
      if (node.tier == Tier::kHot) candidates.push_back(node);
  }
  if (candidates.empty()) return report;
  report.candidates = candidates.size();
  if (limit_exceeded) memory_budget->over_limit_evictions.fetch_add(1);
  uint64_t freed = 0;
  for (size_t i : eviction_victims(candidates, fraction, config, now_ms())) {
    if (!consolidate_node(candidates[i], insert_lock_held).ok()) continue;
    ++report.evicted;
    freed = saturating_add(freed, evicted_size_estimate(candidates[i]));
  }
  auto& counters = OperationalCounters::global();
  counters.evicted_nodes.add(report.evicted);
  counters.eviction_candidates.add(report.candidates);
  counters.eviction_passes.add(1);
  counters.evicted_bytes_estimate.add(freed);
  return report;
}

ZolvaStatus StorageEngine::consolidate_node(const EngineNode& node, bool insert_lock_held) {
  if (read_only()) return make_unexpected(read_only_error());
  std::optional<InsertGuard> guard;
  if (!insert_lock_held) {
    auto g = lock_insert("consolidate_node");
    if (!g.ok()) return make_unexpected(std::move(g.error()));
    guard.emplace(std::move(g.value()));
  }
  // The copy cached now, not the candidate taken before the lock: a write
  // that landed in between must not be undone.
  std::optional<EngineNode> current = node_cache.find(node.id);
  if (!current) return {};
  std::string value;
  encode_node_metadata(node_metadata_of(*current, 0), &value);
  if (value.size() > kMaxStoredValueBytes)
    return make_unexpected(payload_cap_error(kNodeMetadataLabel, value.size()));
  ZV_TRY(backend->put(Partition::kDefault, node_key(current->id), value));
  // The index entry is the writers' to change: it already holds the node's
  // current vector and offset, so it is left as it is.
  auto index = vector_index();
  if (index) {
    if (auto off = index->storage_offset(current->id); off && *off != 0) {
      auto seg = segment_for(*off, current->id);
      if (seg.ok()) std::shared_lock wait(seg.value()->lock);
    }
  }
  node_cache.remove(current->id);
  return {};
}

}  // namespace zv
