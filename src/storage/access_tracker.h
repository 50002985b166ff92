// AccessTracker: per-node access counts and the epoch of each node's last
// access, fed by every read and consulted by quantization maintenance.
// Thread-safe: the map is behind a mutex; the epoch and the switch are
// atomics.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "src/foundation/node_id.h"
#include "src/index/node_table.h"

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

  std::atomic<uint64_t> current_epoch{0};
  const uint64_t cold_after_epochs = 100;
  const uint64_t promote_window = 1000;
  const uint64_t hot_count = 5;
  std::atomic<bool> enabled{true};

 private:
  mutable std::mutex mu_;
  std::unordered_map<NodeId, Entry, NodeIdHash> entries_;
};

}  // namespace zv
