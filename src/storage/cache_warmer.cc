#include "src/storage/cache_warmer.h"

#include <algorithm>
#include <mutex>

namespace zv {

void CacheWarmer::decay_locked() {
  uint64_t left = 0;
  for (auto outer = map_.begin(); outer != map_.end();) {
    Companions& inner = outer->second;
    for (auto it = inner.begin(); it != inner.end();) {
      if (it->second <= 1) {
        it = inner.erase(it);
      } else {
        it->second /= 2;
        ++it;
      }
    }
    left += inner.size();
    outer = inner.empty() ? map_.erase(outer) : std::next(outer);
  }
  total_entries_.store(left, std::memory_order_relaxed);
  if (paused_ && left < entry_limit) paused_ = false;
}

void CacheWarmer::record_access(std::span<const NodeId> all) {
  if (all.size() < 2) return;
  // The warmer only steers prefetching: pairing every id of a large batch
  // would cost time and memory quadratic in its size.
  const std::span<const NodeId> ids = all.first(std::min(all.size(), kMaxPairedIds));
  const uint64_t c = calls_.fetch_add(1, std::memory_order_relaxed);
  if (c > 0 && c % kDecayInterval == 0) {
    std::unique_lock lock(mu_);
    decay_locked();
  }
  std::unique_lock lock(mu_);
  uint64_t total = total_entries_.load(std::memory_order_relaxed);
  for (size_t i = 0; i < ids.size(); ++i) {
    if (paused_) {
      auto outer = map_.find(ids[i]);
      if (outer == map_.end()) continue;
      for (size_t j = i + 1; j < ids.size(); ++j) {
        auto it = outer->second.find(ids[j]);
        if (it != outer->second.end()) coaccess_increment(it->second);
      }
      continue;
    }
    Companions& inner = map_[ids[i]];
    for (size_t j = i + 1; j < ids.size(); ++j) {
      if (paused_) {
        auto it = inner.find(ids[j]);
        if (it != inner.end()) coaccess_increment(it->second);
        continue;
      }
      auto [it, created] = inner.try_emplace(ids[j], 0);
      coaccess_increment(it->second);
      if (created && ++total >= entry_limit) paused_ = true;
    }
  }
  total_entries_.store(total, std::memory_order_relaxed);
}

std::vector<std::pair<NodeId, uint32_t>> CacheWarmer::companions(NodeId id) const {
  std::shared_lock lock(mu_);
  std::vector<std::pair<NodeId, uint32_t>> out;
  auto outer = map_.find(id);
  if (outer == map_.end()) return out;
  for (const auto& [other, count] : outer->second)
    if (count >= min_coaccess) out.emplace_back(other, count);
  return out;
}

std::optional<uint32_t> CacheWarmer::count(NodeId a, NodeId b) const {
  std::shared_lock lock(mu_);
  auto outer = map_.find(a);
  if (outer == map_.end()) return std::nullopt;
  auto it = outer->second.find(b);
  if (it == outer->second.end()) return std::nullopt;
  return it->second;
}

bool CacheWarmer::has_outer(NodeId a) const {
  std::shared_lock lock(mu_);
  return map_.count(a) != 0;
}

bool CacheWarmer::paused() const {
  std::shared_lock lock(mu_);
  return paused_;
}

}  // namespace zv
