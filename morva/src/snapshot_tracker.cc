#include "morva/src/snapshot_tracker.h"

#include <vector>

#include "morva/src/lock.h"

namespace morva {

std::shared_ptr<SnapshotTracker> SnapshotTracker::create(tervik::SeqNoCounter visible) {
  return std::make_shared<SnapshotTracker>(std::move(visible));
}

Snapshot SnapshotTracker::open() {
  auto guard = read_unpoisoned(lock_);
  const tervik::SeqNo seqno = visible_.get();
  {
    // The common case, an entry that exists, takes its element lock shared.
    Map::const_accessor ca;
    if (counts_.find(ca, seqno)) {
      ca->second.n.fetch_add(1, std::memory_order_relaxed);
    } else {
      ca.release();
      Map::accessor a;
      counts_.insert(a, seqno);  // a new entry starts at 0
      a->second.n.fetch_add(1, std::memory_order_relaxed);
    }
  }
  return Snapshot(shared_from_this(), seqno);
}

void SnapshotTracker::close(tervik::SeqNo seqno) {
  uint64_t freed = 0;
  {
    auto guard = read_unpoisoned(lock_);
    {
      Map::const_accessor a;
      if (counts_.find(a, seqno)) {
        // Never below 0, also when closed twice.
        uint64_t cur = a->second.n.load(std::memory_order_relaxed);
        while (cur > 0 && !a->second.n.compare_exchange_weak(cur, cur - 1, std::memory_order_relaxed)) {
        }
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
  auto guard = write_unpoisoned(lock_);
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
  auto guard = write_unpoisoned(lock_);
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
