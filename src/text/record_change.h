// Applying one record change to every index derived from records: the
// namespace and payload entries, the BM25 postings and statistics and the
// sparse postings of the old record are removed and those of the new record
// added in one atomic backend batch; then the statistics caches, the three
// state records and the process-wide counters follow. Called after the
// engine write of the record succeeded (an insert has no old record, a
// delete no new one); a failure leaves that write standing.
//
// The statistics deltas are read and written under the engine's text-index
// mutex, so concurrent changes never lose a delta. A caller writing records
// holds the index gate shared from before its engine write until this
// returns, so a full rebuild cannot index the record and then see the change
// applied again. Thread-safe under that discipline.
#pragma once

#include <span>

#include "src/backends/storage_backend.h"
#include "src/foundation/error.h"
#include "src/record/kv_service.h"
#include "src/record/memory_record.h"
#include "src/text/index_locks.h"
#include "src/text/record_pair.h"
#include "src/text/text_stats_cache.h"

namespace zv::text {

// What the text and derived indexes of one engine live in: its backend (for
// reads), its writer (refusing writes on a read-only database), its
// statistics caches and its index locks.
struct TextIndexTarget {
  StorageBackend& backend;
  KvService& kv;
  TextStatsCaches& caches;
  IndexLocks& locks;
};

// The whole change. Errors before the batch (a derived-index encoding
// error, a statistics read, a count that would go negative or out of range,
// a refused batch) write nothing; errors of a state update after the batch
// leave the entries written and the later states unchanged.
ZolvaStatus apply_record_change(const TextIndexTarget& target, const MemoryRecord* old_record,
                                const MemoryRecord* new_record);

// Many changes of distinct records as one: one backend batch with every
// change's entry operations in list order, each statistic read once and
// written once from the changes' summed deltas, the caches, the three state
// records and the counters updated once. Whenever applying the changes one
// by one in list order would succeed, this leaves the same entries, state
// counts and cache contents; an error before the batch writes nothing (not
// even the changes before the one that failed). Holds the text-index mutex
// as the single change does; the caller holds the gate.
ZolvaStatus apply_record_changes(const TextIndexTarget& target,
                                 std::span<const RecordPair> changes);

}  // namespace zv::text
