// Storing many records in one call (EmbeddedDb::put_batch): every input
// validated first, then chunk by chunk the earlier state of each record (the
// stored record, or the one an earlier occurrence in the call left), one
// engine batch insert, the scalar-field records, one version-history batch,
// and one batched record change for the chunk's distinct ids, so a call
// costs in proportion to its records and not to the database. The full
// derived, text and sparse rebuilds run at the end only when the indexes
// could not be trusted at the call's start (a state record missing,
// unreadable or of another format, or the repair mark set). Thread-safe:
// each chunk holds its ids' write stripes and the index gate shared from
// its reads of the stored records to the end of its index change.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "src/foundation/error.h"
#include "src/record/memory_input.h"
#include "src/record/memory_record.h"
#include "src/sdk/embedded_db.h"

namespace zv {

inline constexpr uint64_t kDefaultPutBatchChunk = 1000;
// The chunk length from which a persistent backend may leave the chunk's
// vectors for one index rebuild at the end of the call.
inline constexpr uint64_t kPutBatchDeferredChunk = 1000;
inline constexpr std::string_view kPutBatchQuarantineAuthor = "system:put_batch";

// Where a call's time went, summed over its chunks (benchmarks).
struct PutBatchTimings {
  uint64_t prepare_ns = 0;   // earlier-state reads, provenance, records and nodes
  uint64_t insert_ns = 0;    // the engine's batch inserts
  uint64_t history_ns = 0;   // scalar-field records and version history
  uint64_t index_ns = 0;     // the batched record changes
  uint64_t rebuild_ns = 0;   // the vector-index and full index rebuilds
};

// Test and benchmark seams; the defaults are the operation as shipped.
struct PutBatchSeams {
  // The older behaviour, kept to compare against: no per-chunk index change
  // but the full derived, text and sparse rebuilds after every call, and on
  // a persistent backend every chunk of kPutBatchDeferredChunk or more left
  // for the vector rebuild whatever the index already holds.
  bool force_full_rebuilds = false;
  // Called just before the closing full rebuilds (tests count them).
  std::function<void()> on_full_rebuilds;
  // Called before each chunk's reads with the chunk's index (tests inject
  // faults into a chosen chunk).
  std::function<void(size_t)> before_chunk;
  PutBatchTimings* timings = nullptr;
};

ZolvaResult<std::vector<MemoryRecord>> put_batch_with_seams(const EmbeddedDb& db,
                                                            std::vector<MemoryInput> inputs,
                                                            const PutBatchSeams& seams);

}  // namespace zv
