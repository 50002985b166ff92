// The flush of a keyspace's sealed memtables: one merged, garbage-collected
// stream of all of them into level-0 tables (large values of a blob tree into
// blob files behind indirections), registered in a new version that drops
// the flushed memtables, then the write-buffer size lowered. One flush per
// tree at a time (the tree's flush lock); runs on worker threads.
#pragma once

#include <atomic>
#include <cstdint>

#include "morva/src/error.h"
#include "morva/src/keyspace.h"
#include "morva/src/snapshot_tracker.h"

namespace morva {

inline constexpr const char* kFlushLogTarget = "morva::flush";

// Flushes every sealed memtable of `keyspace`. Nothing sealed: nothing is
// written. A tree error is logged "Flush error: ..." and returned as
// Storage; the sealed memtables then stay and the counter is unchanged.
MorvaStatus flush_sealed_memtables(const Keyspace& keyspace, std::atomic<uint64_t>& write_buffer_size,
                                   const SnapshotTracker& snapshots);

}  // namespace morva
