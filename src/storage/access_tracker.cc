#include "src/storage/access_tracker.h"

namespace zv {

uint64_t AccessTracker::hash_of(NodeId id) {
  const uint64_t lo = node_id_low(id), hi = node_id_high(id);
  uint64_t h = (lo ^ (hi * 0x9E3779B97F4A7C15ull)) * 0xD6E8FEB86659FD93ull;
  return h ^ (h >> 29) * 0xBF58476D1CE4E5B9ull;
}

AccessTracker::Slot* AccessTracker::Shard::find(NodeId id, uint64_t hash) {
  if (slots.empty()) return nullptr;
  const size_t mask = slots.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    Slot& s = slots[i];
    if (s.entry.count == 0) return nullptr;
    if (s.id == id) return &s;
  }
}

AccessTracker::Slot& AccessTracker::Shard::find_or_insert(NodeId id, uint64_t hash) {
  if (4 * (used + 1) > 3 * slots.size()) grow();
  const size_t mask = slots.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    Slot& s = slots[i];
    if (s.entry.count == 0) {
      s.id = id;
      ++used;
      return s;
    }
    if (s.id == id) return s;
  }
}

void AccessTracker::Shard::erase(NodeId id, uint64_t hash) {
  if (slots.empty()) return;
  const size_t mask = slots.size() - 1;
  size_t hole = hash & mask;
  for (;; hole = (hole + 1) & mask) {
    if (slots[hole].entry.count == 0) return;
    if (slots[hole].id == id) break;
  }
  // Move back every later slot of the run whose home is not between the hole
  // and itself, so that no probe stops early at the freed slot.
  for (size_t i = (hole + 1) & mask;; i = (i + 1) & mask) {
    Slot& s = slots[i];
    if (s.entry.count == 0) break;
    const size_t home = hash_of(s.id) & mask;
    if (((i - home) & mask) >= ((i - hole) & mask)) {
      slots[hole] = s;
      hole = i;
    }
  }
  slots[hole] = Slot{};
  --used;
}

void AccessTracker::Shard::grow() {
  std::vector<Slot> old = std::move(slots);
  slots.assign(old.empty() ? 16 : 2 * old.size(), Slot{});
  const size_t mask = slots.size() - 1;
  for (const Slot& s : old) {
    if (s.entry.count == 0) continue;
    size_t i = hash_of(s.id) & mask;
    while (slots[i].entry.count != 0) i = (i + 1) & mask;
    slots[i] = s;
  }
}

void AccessTracker::record(NodeId id) {
  if (!enabled.load(std::memory_order_relaxed)) return;
  const uint64_t epoch = current_epoch.load(std::memory_order_relaxed);
  const uint64_t h = hash_of(id);
  Shard& shard = shard_of(h);
  std::scoped_lock lock(shard.mu);
  Entry& e = shard.find_or_insert(id, h).entry;
  ++e.count;
  e.last_epoch = epoch;
}

void AccessTracker::forget(NodeId id) {
  const uint64_t h = hash_of(id);
  Shard& shard = shard_of(h);
  std::scoped_lock lock(shard.mu);
  shard.erase(id, h);
}

std::optional<AccessTracker::Entry> AccessTracker::entry(NodeId id) const {
  const uint64_t h = hash_of(id);
  Shard& shard = shard_of(h);
  std::scoped_lock lock(shard.mu);
  const Slot* s = shard.find(id, h);
  if (!s) return std::nullopt;
  return s->entry;
}

size_t AccessTracker::size() const {
  size_t n = 0;
  for (const Shard& shard : shards_) {
    std::scoped_lock lock(shard.mu);
    n += shard.used;
  }
  return n;
}

std::vector<std::pair<NodeId, AccessTracker::Entry>> AccessTracker::entries() const {
  std::vector<std::pair<NodeId, Entry>> out;
  for (const Shard& shard : shards_) {
    std::scoped_lock lock(shard.mu);
    for (const Slot& s : shard.slots)
      if (s.entry.count != 0) out.emplace_back(s.id, s.entry);
  }
  return out;
}

}  // namespace zv
