// CacheWarmer: learns which nodes are read together. Batch reads and
// searches report the ids they return; each ordered pair among the first 64
// ids of a report is counted in a co-access map, and a single-node read that
// goes to storage warms the node cache with the node's most frequent
// companions. Counts halve every thousandth report; new pairs stop while the
// map holds the entry limit. Thread-safe: the map is behind a reader-writer
// lock, the counters are atomics.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <shared_mutex>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "src/foundation/node_id.h"
#include "src/index/node_table.h"

namespace zv {

// One more co-access: a count stops at 2^32 - 1.
inline void coaccess_increment(uint32_t& count) {
  if (count != UINT32_MAX) ++count;
}

class CacheWarmer {
 public:
  static constexpr uint64_t kDecayInterval = 1000;
  // Pairs are recorded among at most this many leading ids of a report.
  static constexpr size_t kMaxPairedIds = 64;

  using Companions = std::unordered_map<NodeId, uint32_t, NodeIdHash>;

  void record_access(std::span<const NodeId> ids);

  // The id's companions with a count of at least the minimum co-access
  // count, unsorted. Takes the map's read lock.
  std::vector<std::pair<NodeId, uint32_t>> companions(NodeId id) const;
  // Test and report views.
  std::optional<uint32_t> count(NodeId a, NodeId b) const;
  bool has_outer(NodeId a) const;
  bool paused() const;
  uint64_t total_entries() const { return total_entries_.load(std::memory_order_relaxed); }
  uint64_t calls() const { return calls_.load(std::memory_order_relaxed); }

  const uint64_t prefetch_limit = 8;
  const uint64_t entry_limit = 1'000'000;
  const uint32_t min_coaccess = 3;
  std::atomic<uint64_t> prefetched{0};

 private:
  void decay_locked();

  mutable std::shared_mutex mu_;
  std::unordered_map<NodeId, Companions, NodeIdHash> map_;
  std::atomic<uint64_t> calls_{0};
  std::atomic<uint64_t> total_entries_{0};
  bool paused_ = false;  // guarded by mu_
};

}  // namespace zv
