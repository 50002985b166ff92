// Rebuilding an empty vector index from vector store segment 0: one
// sequential walk over the segment's records on the calling thread, then the
// adds spread over the process-wide data-parallel pool. Used by the open when
// the index holds no node and by the full index rebuild. The caller holds the
// segment's lock (read or write) across the call; the index's own locking
// keeps the concurrent adds consistent.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "src/foundation/error.h"
#include "src/index/vector_index_port.h"
#include "src/storage/vfile.h"

namespace zv {

// Field names are the keys of the SDK's rebuild report.
struct RebuildReport {
  std::string index_path;
  uint64_t scanned_nodes = 0;
  uint64_t indexed_vectors = 0;
  uint64_t skipped_tombstones = 0;
  uint64_t duration_ms = 0;
  bool success = true;
};

// One node found by the walk.
struct RebuildItem {
  NodeId id = 0;
  uint64_t filter_word0 = 0;
  uint64_t filter_word1 = 0;
  VectorRepr vector;
  uint64_t storage_offset = 0;
};

struct StoreScan {
  std::vector<RebuildItem> items;  // the newest live record of each node
  uint64_t scanned_nodes = 0;      // records with a non-zero id
  uint64_t indexed_vectors = 0;    // records whose vector was readable
  uint64_t skipped_tombstones = 0; // records marked deleted
};

// Calls `visit` with the header and position of every readable record with
// an id up to the write offset, in file order (records that cannot be read
// are stepped over 64 bytes at a time).
void walk_store_records(const VFile& segment,
                        const std::function<void(const NodeRecordHeader&, uint64_t)>& visit);

// The walk: every readable record up to the write offset counts; of several
// records of one id only the last in file order is kept, and none when that
// one is marked deleted.
StoreScan scan_store_for_rebuild(const VFile& segment);

// The vector of a record, read as the rebuild reads it; none when unreadable.
VectorRepr read_stored_vector(const VFile& segment, const NodeRecordHeader& h);

// True when the index refused the node's vector for its zero norm under
// cosine (such a node is indexed without a vector).
bool is_zero_norm_refusal(const ZolvaError& e, NodeId id);

// Adds the items on the pool; the first failure (in list order) is returned
// and the items not yet started are skipped. A vector the index refuses for
// its zero norm under cosine is added without a vector, with a warning.
ZolvaStatus add_rebuild_items(VectorIndexPort& index, std::vector<RebuildItem>& items);

ZolvaResult<RebuildReport> rebuild_index_parallel(VectorIndexPort& index, const VFile& segment,
                                                  const std::string& index_path);

}  // namespace zv
