// AccessTracker: per-node access counts and the epoch of each node's last
// access, fed by every read and consulted by quantization maintenance.
// Thread-safe: the ids are spread over shards, each an open-addressing table
// behind its own mutex, so a read pays one short lock and usually one cache
// line; the epoch and the switch are atomics.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "src/foundation/node_id.h"

namespace zv {

class AccessTracker {
 public:
  struct Entry {
    uint64_t count = 0;
    uint64_t last_epoch = 0;
    bool operator==(const Entry&) const = default;
  };

  // Counts one access of the id (whether or not such a node exists).
  void record(NodeId id);
  void forget(NodeId id);
  std::optional<Entry> entry(NodeId id) const;
  size_t size() const;
  // A copy of every tracked (id, entry), shard by shard.
  std::vector<std::pair<NodeId, Entry>> entries() const;

  std::atomic<uint64_t> current_epoch{0};
  const uint64_t cold_after_epochs = 100;
  const uint64_t promote_window = 1000;
  const uint64_t hot_count = 5;
  std::atomic<bool> enabled{true};

 private:
  // A slot with count 0 is free: a tracked id has been counted at least once.
  struct Slot {
    NodeId id = 0;
    Entry entry;
  };
  // Linear probing over a power-of-two table, at most 3/4 full; removal
  // shifts the rest of the run back, so lookups never meet tombstones.
  struct Shard {
    mutable std::mutex mu;
    std::vector<Slot> slots;
    size_t used = 0;

    Slot* find(NodeId id, uint64_t hash);
    Slot& find_or_insert(NodeId id, uint64_t hash);
    void erase(NodeId id, uint64_t hash);
    void grow();
  };
  static constexpr size_t kShards = 16;

  static uint64_t hash_of(NodeId id);
  Shard& shard_of(uint64_t hash) const { return shards_[hash >> 60]; }

  mutable std::array<Shard, kShards> shards_;
};

}  // namespace zv
