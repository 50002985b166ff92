// The full rebuild of the vector index from segment 0, at open and on
// demand, and the marker "vector_index_rebuild_pending" (partition 8) that a
// batch left unindexed writes: while it is set, segment 0 holds nodes the
// index file lacks, so every open rebuilds from the segment until a rebuild
// has written a new index file and removed it.
#pragma once

#include "src/foundation/error.h"
#include "src/storage/storage_engine.h"

namespace zv {

// Whether the marker is set.
ZolvaResult<bool> rebuild_marker_set(StorageBackend& backend);

// The open's rebuild, before the log is replayed. An empty loaded index is
// filled from segment 0 in place. With the marker set, a new index like the
// loaded one is filled from segment 0 and replaces it, whatever the loaded
// one holds; a writable open then writes it to the index file and removes
// the marker (a failure there keeps the marker and the open goes on), a
// read-only open keeps it in memory only.
// Returns whether the index now in use was filled from the store.
ZolvaResult<bool> rebuild_index_at_open(EngineParts& parts, bool read_only);

}  // namespace zv
