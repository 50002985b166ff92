#include "src/storage/node_cache.h"

#include <mutex>

namespace zv {

void NodeCache::put(EngineNode node) {
  std::unique_lock lock(mu_);
  const NodeId id = node.id;
  map_.insert_or_assign(id, std::move(node));
  bump_generation_locked();
}

bool NodeCache::remove(NodeId id) {
  std::unique_lock lock(mu_);
  const bool erased = map_.erase(id) != 0;
  bump_generation_locked();
  return erased;
}

bool NodeCache::insert_if_unchanged(EngineNode node, uint64_t seen) {
  std::unique_lock lock(mu_);
  if (generation() != seen) return false;
  const NodeId id = node.id;
  return map_.try_emplace(id, std::move(node)).second;
}

std::optional<EngineNode> NodeCache::find(NodeId id) const {
  std::shared_lock lock(mu_);
  auto it = map_.find(id);
  if (it == map_.end()) return std::nullopt;
  return it->second;
}

size_t NodeCache::size() const {
  std::shared_lock lock(mu_);
  return map_.size();
}

}  // namespace zv
