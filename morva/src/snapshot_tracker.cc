#include "morva/src/snapshot_tracker.h"

#include <functional>
#include <thread>
#include <vector>

namespace morva {

std::shared_ptr<SnapshotTracker> SnapshotTracker::create(tervik::SeqNoCounter visible) {
  return std::make_shared<SnapshotTracker>(std::move(visible));
}

SnapshotTracker::Stripe& SnapshotTracker::own_stripe() {
  // Thread ids are addresses with equal low bits: mix before taking a stripe.
  const uint64_t h = std::hash<std::thread::id>{}(std::this_thread::get_id()) * 0x9E3779B97F4A7C15ull;
  return stripes_[h >> 59 & (kStripes - 1)];
}

std::vector<std::unique_lock<std::mutex>> SnapshotTracker::lock_all() {
  std::vector<std::unique_lock<std::mutex>> held;
  held.reserve(kStripes);
  for (Stripe& s : stripes_) {
    held.emplace_back(s.mu);
    s.count = nullptr;
  }
  return held;
}

SnapshotTracker::Count* SnapshotTracker::entry(Stripe& s, tervik::SeqNo seqno, bool insert) {
  if (s.count != nullptr && s.seqno == seqno) return s.count;
  Count* found = nullptr;
  {
    Map::const_accessor ca;
    if (counts_.find(ca, seqno)) found = const_cast<Count*>(&ca->second);
  }
  if (found == nullptr && insert) {
    Map::accessor a;
    counts_.insert(a, seqno);  // a new entry starts at 0
    found = &a->second;
  }
  if (found != nullptr) {
    s.seqno = seqno;
    s.count = found;
  }
  return found;
}

Snapshot SnapshotTracker::open() {
  Stripe& s = own_stripe();
  tervik::SeqNo seqno;
  {
    std::lock_guard<std::mutex> g(s.mu);
    seqno = visible_.get();
    entry(s, seqno, true)->n.fetch_add(1, std::memory_order_relaxed);
  }
  return Snapshot(shared_from_this(), seqno);
}

void SnapshotTracker::close(tervik::SeqNo seqno) {
  Stripe& s = own_stripe();
  uint64_t freed = 0;
  {
    std::lock_guard<std::mutex> g(s.mu);
    if (Count* c = entry(s, seqno, false)) {
      // Never below 0, also when closed twice.
      uint64_t cur = c->n.load(std::memory_order_relaxed);
      while (cur > 0 && !c->n.compare_exchange_weak(cur, cur - 1, std::memory_order_relaxed)) {
      }
    }
    freed = freed_.fetch_add(1, std::memory_order_acq_rel) + 1;
  }
  if (freed % kCollectEvery == 0) gc();
}

void SnapshotTracker::raise_watermark(uint64_t to) {
  uint64_t cur = watermark_.load(std::memory_order_acquire);
  while (cur < to && !watermark_.compare_exchange_weak(cur, to, std::memory_order_acq_rel)) {
  }
}

void SnapshotTracker::gc() {
  const auto held = lock_all();
  const tervik::SeqNo visible = visible_.get();
  std::vector<tervik::SeqNo> unused;
  bool any_stayed = false;
  std::optional<tervik::SeqNo> lowest_nonzero;
  for (const auto& [seqno, c] : counts_) {
    const uint64_t count = c.n.load(std::memory_order_relaxed);
    if (seqno < visible && count == 0) {
      unused.push_back(seqno);
      continue;
    }
    any_stayed = true;
    if (seqno != 0 && (!lowest_nonzero || seqno < *lowest_nonzero)) lowest_nonzero = seqno;
  }
  for (tervik::SeqNo s : unused) counts_.erase(s);
  // A snapshot at 0 sees no write and holds nothing back.
  const uint64_t low = !any_stayed ? visible : lowest_nonzero.value_or(0);
  raise_watermark(low == 0 ? 0 : low - 1);
}

void SnapshotTracker::pullup() {
  const auto held = lock_all();
  if (counts_.size() != 0) return;
  const tervik::SeqNo visible = visible_.get();
  raise_watermark(visible == 0 ? 0 : visible - 1);
}

std::optional<uint64_t> SnapshotTracker::open_count(tervik::SeqNo seqno) const {
  Map::const_accessor a;
  if (!counts_.find(a, seqno)) return std::nullopt;
  return a->second.n.load(std::memory_order_relaxed);
}

}  // namespace morva
