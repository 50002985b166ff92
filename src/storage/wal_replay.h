// Replay of the write-ahead log at open: the records after the stored
// checkpoint, in the order their appends were acknowledged and with
// uncommitted transactions left out, re-applied to the vector store's
// segment 0, the vector index and partition 0 before the log is opened for
// appending. Runs on the opening thread, before the engine is shared; the
// caller owns every part it passes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "src/backends/storage_backend.h"
#include "src/foundation/error.h"
#include "src/index/vector_index_port.h"
#include "src/storage/vfile.h"
#include "src/wal/wal_records.h"

namespace zv {

struct ReplayFigures {
  uint64_t replayed = 0;  // records applied (fillers are not records)
  uint64_t duration_ms = 0;
  uint64_t checkpoint_seq = 0;
};

// The parts a replay writes to.
struct ReplayTarget {
  std::vector<VFile>& segments;
  VectorIndexPort& index;
  StorageBackend& backend;
};

// Reads the log at `wal_path` (any shard count it was written with) after
// `checkpoint_seq` and applies every record; the first failure stops it and
// what was applied stays (the next open applies it again).
ZolvaResult<ReplayFigures> replay_wal(const std::string& wal_path, uint64_t configured_shards,
                                      uint64_t checkpoint_seq, ReplayTarget target,
                                      FileSystem* fs = nullptr);

// One record applied (Insert, Update, Delete; the others change nothing).
ZolvaStatus apply_wal_record(const WalRecord& record, ReplayTarget target);

}  // namespace zv
