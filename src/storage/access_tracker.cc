#include "src/storage/access_tracker.h"

namespace zv {

void AccessTracker::record(NodeId id) {
  if (!enabled.load(std::memory_order_relaxed)) return;
  const uint64_t epoch = current_epoch.load(std::memory_order_relaxed);
  std::scoped_lock lock(mu_);
  Entry& e = entries_[id];
  ++e.count;
  e.last_epoch = epoch;
}

void AccessTracker::forget(NodeId id) {
  std::scoped_lock lock(mu_);
  entries_.erase(id);
}

std::optional<AccessTracker::Entry> AccessTracker::entry(NodeId id) const {
  std::scoped_lock lock(mu_);
  auto it = entries_.find(id);
  if (it == entries_.end()) return std::nullopt;
  return it->second;
}

size_t AccessTracker::size() const {
  std::scoped_lock lock(mu_);
  return entries_.size();
}

}  // namespace zv
