// The full rebuilds of the derived indexes (namespace and payload) and of
// the sparse vector index from the stored nodes: the deletes of every old
// entry and the puts of every live, unexpired record go out in one batch
// (deletes first, so keys put again keep their new value), then a new state
// record. The caller (the SDK handle) supplies the engine's full node scan.
// No lock of its own; safe to call from any thread.
#pragma once

#include <cstdint>
#include <vector>

#include "src/backends/storage_backend.h"
#include "src/foundation/error.h"
#include "src/record/engine_node.h"
#include "src/record/kv_service.h"
#include "src/runtime/operational_counters.h"

namespace zv::text {

struct DerivedRebuildStats {
  uint64_t record_count = 0;
  uint64_t namespace_entries = 0;
  uint64_t payload_entries = 0;
  uint64_t elapsed_ms = 0;
};

struct SparseRebuildStats {
  uint64_t record_count = 0;
  uint64_t posting_entries = 0;
  uint64_t elapsed_ms = 0;
};

// Process-wide counters a rebuild moves; each may be null.
struct RebuildCounters {
  CounterCell* derived_rebuild_ms = nullptr;      // raised to the largest
  CounterCell* skipped_payload_entries = nullptr;  // over-long keys left out
};

// started_ns: the monotonic clock when the rebuild began (before the node
// scan), so that elapsed_ms covers the whole rebuild.
ZolvaResult<DerivedRebuildStats> rebuild_derived_index_from_nodes(
    StorageBackend& backend, KvService& kv, const std::vector<EngineNode>& nodes,
    uint64_t started_ns, const RebuildCounters& counters = {});

ZolvaResult<SparseRebuildStats> rebuild_sparse_index_from_nodes(
    StorageBackend& backend, KvService& kv, const std::vector<EngineNode>& nodes,
    uint64_t started_ns);

}  // namespace zv::text
