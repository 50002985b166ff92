// The body of every background worker of a database: takes one message at a
// time from the worker channel and carries it out (Flush: journal check,
// then one queued flush; Rotate: seal a memtable and queue its flush;
// Compact: the keyspace's compaction; Close: end). No worker ever waits for
// room in a channel that only workers empty: when an offer does not fit, the
// worker does that work itself. A failed task logs "Worker #i crashed",
// poisons the database and ends the worker.
#pragma once

#include <atomic>
#include <memory>

#include "morva/src/error.h"
#include "morva/src/worker_context.h"
#include "morva/src/worker_pool.h"

namespace morva {

inline constexpr const char* kWorkerLogTarget = "morva::worker";

// Runs until Close or a failed task (returned after the crash log and the
// poisoned flag).
MorvaStatus run_worker(WorkerThread& thread, const std::shared_ptr<WorkerContext>& ctx,
                       const std::shared_ptr<std::atomic<bool>>& poisoned);

}  // namespace morva
