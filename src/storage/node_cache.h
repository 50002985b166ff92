// NodeCache: the engine's cache of hot nodes, a map node id -> EngineNode
// behind a reader-writer lock, with a write generation. Every writer that
// replaces or removes a node bumps the generation under the write lock, so a
// reader that fetched a node from storage without the lock (co-access
// prefetch) inserts it only when no writer ran meanwhile. Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <shared_mutex>
#include <unordered_map>

#include "src/index/node_table.h"
#include "src/record/engine_node.h"

namespace zv {

class NodeCache {
 public:
  using Map = std::unordered_map<NodeId, EngineNode, NodeIdHash>;

  // The lock and the map, for the read paths that need both lock modes.
  std::shared_mutex& mutex() const { return mu_; }
  Map& map_locked() { return map_; }
  const Map& map_locked() const { return map_; }

  // Writers: replace or remove a node and bump the generation.
  void put(EngineNode node);
  bool remove(NodeId id);
  // For a writer already holding the write lock.
  void bump_generation_locked() { generation_.fetch_add(1, std::memory_order_release); }

  uint64_t generation() const { return generation_.load(std::memory_order_acquire); }
  // Inserts a node fetched by a reader when no writer ran since `seen` and
  // the id is still absent; true when inserted.
  bool insert_if_unchanged(EngineNode node, uint64_t seen);

  std::optional<EngineNode> find(NodeId id) const;
  size_t size() const;

 private:
  mutable std::shared_mutex mu_;
  Map map_;
  std::atomic<uint64_t> generation_{0};
};

}  // namespace zv
