// SnapshotTracker: counts the open snapshots of a database per sequence
// number and derives from them the garbage-collection watermark, below which
// no open snapshot needs older versions of a key. Snapshot: one pinned read
// view, closed when its owner releases it. Open and close run in parallel,
// each under the lock of its thread's stripe; collection and pull-up take
// every stripe. Thread-safe.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <tbb/concurrent_hash_map.h>

#include "tervik/core/seqno.h"

namespace morva {

class Snapshot;

class SnapshotTracker : public std::enable_shared_from_this<SnapshotTracker> {
 public:
  // Collections run on every this-many-th close.
  static constexpr uint64_t kCollectEvery = 10'000;

  // `visible` is the database's visible sequence-number counter.
  static std::shared_ptr<SnapshotTracker> create(tervik::SeqNoCounter visible);

  explicit SnapshotTracker(tervik::SeqNoCounter visible) : visible_(std::move(visible)) {}
  SnapshotTracker(const SnapshotTracker&) = delete;
  SnapshotTracker& operator=(const SnapshotTracker&) = delete;

  // Pins the current visible sequence number.
  Snapshot open();
  // Releases one snapshot at `seqno` (its count never goes below 0); every
  // kCollectEvery-th close runs a collection.
  void close(tervik::SeqNo seqno);
  // Drops unused entries below the visible number and raises the watermark.
  void gc();
  // With no entry at all, sets the watermark just below the visible number.
  void pullup();

  uint64_t watermark() const { return watermark_.load(std::memory_order_acquire); }
  uint64_t freed() const { return freed_.load(std::memory_order_acquire); }
  // The open count recorded for `seqno`, if it has an entry.
  std::optional<uint64_t> open_count(tervik::SeqNo seqno) const;
  size_t entry_count() const { return counts_.size(); }

 private:
  void raise_watermark(uint64_t to);

  // Counts change under the element's shared lock; entries are added and
  // removed under its exclusive one.
  struct Count {
    mutable std::atomic<uint64_t> n{0};
  };
  using Map = tbb::concurrent_hash_map<tervik::SeqNo, Count>;

  // When every thread pins the same number, one shared lock and one map
  // lookup per open and close made all threads fight over the same cache
  // lines. Each thread instead takes the lock of its own stripe and finds its
  // last entry there: entries are only erased with every stripe locked, so a
  // remembered entry stays valid while its stripe is held, and map nodes
  // never move.
  struct alignas(64) Stripe {
    std::mutex mu;
    tervik::SeqNo seqno = 0;
    Count* count = nullptr;  // the entry of `seqno`, when remembered
  };
  static constexpr size_t kStripes = 32;

  Stripe& own_stripe();
  // Every stripe locked, their remembered entries forgotten.
  std::vector<std::unique_lock<std::mutex>> lock_all();
  // The entry of `seqno` under `s`, inserted at 0 when `insert` and absent.
  Count* entry(Stripe& s, tervik::SeqNo seqno, bool insert);

  Map counts_;
  tervik::SeqNoCounter visible_;
  std::atomic<uint64_t> freed_{0};
  std::atomic<uint64_t> watermark_{0};
  std::array<Stripe, kStripes> stripes_;
};

// One open snapshot; closes itself when destroyed. Move-only.
class Snapshot {
 public:
  Snapshot(std::shared_ptr<SnapshotTracker> tracker, tervik::SeqNo seqno)
      : tracker_(std::move(tracker)), seqno_(seqno) {}
  Snapshot(Snapshot&& o) noexcept : tracker_(std::move(o.tracker_)), seqno_(o.seqno_) {}
  Snapshot& operator=(Snapshot&& o) noexcept {
    if (this != &o) {
      close();
      tracker_ = std::move(o.tracker_);
      seqno_ = o.seqno_;
    }
    return *this;
  }
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;
  ~Snapshot() { close(); }

  tervik::SeqNo seqno() const { return seqno_; }
  // Closes now; later calls do nothing.
  void close() {
    if (tracker_) std::exchange(tracker_, nullptr)->close(seqno_);
  }

 private:
  std::shared_ptr<SnapshotTracker> tracker_;
  tervik::SeqNo seqno_;
};

}  // namespace morva
