#include "src/sdk/index_rebuild.h"

#include "platform/clock.h"
#include "src/runtime/operational_counters.h"
#include "src/sdk/record_index.h"
#include "src/text/index_locks.h"

namespace zv {

namespace {

// Runs `rebuild` (engine, nodes, started_ns) under the rebuild lock over a
// fresh scan of every node.
template <class Rebuild>
auto rebuild_under_lock(const EmbeddedDb& db, Rebuild rebuild)
    -> decltype(rebuild(std::declval<StorageEngine&>(), std::declval<const std::vector<EngineNode>&>(),
                        uint64_t{})) {
  const uint64_t started_ns = monotonic_ns();
  ZV_ASSIGN_OR_RETURN(std::shared_ptr<StorageEngine> engine, db.engine());
  text::RebuildLock lock(engine->index_locks);
  ZV_ASSIGN_OR_RETURN(std::vector<EngineNode> nodes, engine->scan_all_nodes());
  return rebuild(*engine, nodes, started_ns);
}

}  // namespace

ZolvaResult<text::DerivedRebuildStats> rebuild_derived_index(const EmbeddedDb& db) {
  return rebuild_under_lock(db, [](StorageEngine& e, const std::vector<EngineNode>& nodes,
                                   uint64_t started_ns) {
    OperationalCounters& c = OperationalCounters::global();
    return text::rebuild_derived_index_from_nodes(
        *e.backend, e, nodes, started_ns,
        text::RebuildCounters{&c.derived_rebuild_ms, &c.derived_payload_keys_skipped});
  });
}

ZolvaResult<text::SparseRebuildStats> rebuild_sparse_index(const EmbeddedDb& db) {
  return rebuild_under_lock(db, [](StorageEngine& e, const std::vector<EngineNode>& nodes,
                                   uint64_t started_ns) {
    return text::rebuild_sparse_index_from_nodes(*e.backend, e, nodes, started_ns);
  });
}

ZolvaResult<text::TextRebuildStats> rebuild_text_index(const EmbeddedDb& db) {
  return rebuild_under_lock(db, [](StorageEngine& e, const std::vector<EngineNode>& nodes,
                                   uint64_t started_ns) {
    return text::rebuild_text_index_from_nodes(index_target(e), nodes, started_ns);
  });
}

}  // namespace zv
