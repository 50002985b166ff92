// The locks that keep an engine's derived, text and sparse indexes equal to
// its records while writers and full rebuilds run at once, and the repair
// mark that tells when a writer could not keep them equal:
//  - the per-key write stripes (write_stripes.h), outside the gate: a record
//    writer holds its ids' stripes from its read of the stored record to the
//    end of its index update, so read-modify-writes of one record serialise;
//  - the index gate, a reader-writer lock outside every engine lock: a
//    record write holds it shared from before its engine write to the end of
//    its record change, and a full rebuild (or the expiry purge) holds it
//    exclusively, so a rebuild never scans a node whose index change has not
//    run yet, nor writes its batch over a change it did not see;
//  - the text-index mutex, held by a record change from its statistics reads
//    to its last state update, so two changes of one token or namespace never
//    read the same df and each write their own result.
// Lock order: the stripes, the gate, then the mutex. A thread holding the
// gate shared must not take it again (a waiting rebuild blocks new shared
// holders) nor start a rebuild. One instance per engine; thread-safe.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <span>

#include "src/foundation/node_id.h"
#include "src/text/repair_mark.h"
#include "src/text/write_stripes.h"

namespace zv::text {

// A reader-writer lock that prefers exclusive holders: once one waits, new
// shared holders wait behind it, so writers that never pause cannot starve a
// rebuild. Meets the standard SharedMutex requirements (use it with
// std::shared_lock and std::unique_lock).
class IndexGate {
 public:
  void lock();
  void unlock();
  void lock_shared();
  void unlock_shared();
  bool try_lock();
  bool try_lock_shared();

  // Whether an exclusive holder is waiting (tests force interleavings).
  bool exclusive_waiting() const;

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  uint64_t shared_ = 0;           // guarded by mu_
  uint64_t exclusive_waiting_ = 0;  // guarded by mu_
  bool exclusive_ = false;        // guarded by mu_
};

struct IndexLocks {
  WriteStripes stripes;
  IndexGate gate;
  std::mutex text_change;
  RepairMark repair_mark;
};

// What a full rebuild (or the expiry purge) holds from before its node scan
// to after its state record: the gate exclusively, then the text-index
// mutex.
class RebuildLock {
 public:
  explicit RebuildLock(IndexLocks& locks) : gate_(locks.gate), text_change_(locks.text_change) {}

 private:
  std::unique_lock<IndexGate> gate_;
  std::unique_lock<std::mutex> text_change_;
};

// The gate alone, shared: what a record write holds from before its engine
// write to the end of its record change.
using RecordWriteLock = std::shared_lock<IndexGate>;

// What a writer of records holds from its read of the stored records to the
// end of its index update: the ids' stripes, then the gate shared.
class RecordWriteGuard {
 public:
  RecordWriteGuard(IndexLocks& locks, NodeId id) : stripes_(locks.stripes, id), gate_(locks.gate) {}
  RecordWriteGuard(IndexLocks& locks, std::span<const NodeId> ids)
      : stripes_(locks.stripes, ids), gate_(locks.gate) {}

 private:
  StripeLock stripes_;
  RecordWriteLock gate_;
};

}  // namespace zv::text
