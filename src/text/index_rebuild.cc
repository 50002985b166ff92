#include "src/text/index_rebuild.h"

#include "platform/clock.h"
#include "src/record/memory_record.h"
#include "src/text/derived_index.h"
#include "src/text/sparse_index.h"

namespace zv::text {

namespace {

ZolvaStatus append_deletes_of_all(StorageBackend& backend, Partition p,
                                  std::vector<BatchOp>* ops) {
  ZV_ASSIGN_OR_RETURN(std::vector<KvPair> pairs, backend.scan_all(p));
  for (auto& kv : pairs) ops->push_back(BatchOp::del(p, std::move(kv.key)));
  return {};
}

uint64_t elapsed_ms_since(uint64_t started_ns) {
  const uint64_t now = monotonic_ns();
  return now > started_ns ? (now - started_ns) / 1'000'000 : 0;
}


}  // namespace

ZolvaResult<DerivedRebuildStats> rebuild_derived_index_from_nodes(
    StorageBackend& backend, KvService& kv, const std::vector<EngineNode>& nodes,
    uint64_t started_ns, const RebuildCounters& counters) {
  std::vector<BatchOp> ops;
  ZV_TRY(append_deletes_of_all(backend, Partition::kNamespaceIndex, &ops));
  ZV_TRY(append_deletes_of_all(backend, Partition::kPayloadIndex, &ops));
  DerivedRebuildStats stats;
  uint64_t skipped = 0;
  // A namespace entry and a few payload entries per record, without growing
  // a batch of millions of operations step by step.
  ops.reserve(ops.size() + nodes.size() * 8);
  for (const EngineNode& node : nodes) {
    std::optional<MemoryRecord> r = MemoryRecord::from_node(node, /*exclude_expired=*/true);
    if (!r) continue;
    const size_t first = ops.size();
    ZV_TRY(append_derived_index_put_ops(*r, &ops, &skipped));
    stats.payload_entries += payload_entry_count(std::span<const BatchOp>(ops).subspan(first));
    ++stats.record_count;
    ++stats.namespace_entries;
  }
  if (!ops.empty()) ZV_TRY(kv.kv_write_batch(std::move(ops)));
  if (counters.skipped_payload_entries != nullptr && skipped > 0) {
    counters.skipped_payload_entries->add(skipped);
  }
  ZV_TRY(DerivedIndexState::write(
      kv, DerivedIndexState::create(stats.record_count, stats.namespace_entries,
                                    stats.payload_entries)));
  stats.elapsed_ms = elapsed_ms_since(started_ns);
  if (counters.derived_rebuild_ms != nullptr) counters.derived_rebuild_ms->max(stats.elapsed_ms);
  return stats;
}

ZolvaResult<SparseRebuildStats> rebuild_sparse_index_from_nodes(
    StorageBackend& backend, KvService& kv, const std::vector<EngineNode>& nodes,
    uint64_t started_ns) {
  std::vector<BatchOp> ops;
  ZV_TRY(append_deletes_of_all(backend, Partition::kSparseIndex, &ops));
  SparseRebuildStats stats;
  ops.reserve(ops.size() + nodes.size() * 4);
  for (const EngineNode& node : nodes) {
    std::optional<MemoryRecord> r = MemoryRecord::from_node(node, /*exclude_expired=*/true);
    if (!r) continue;
    ZV_ASSIGN_OR_RETURN(std::vector<BatchOp> puts, sparse_posting_put_ops(*r));
    stats.posting_entries += puts.size();
    for (auto& op : puts) ops.push_back(std::move(op));
    ++stats.record_count;
  }
  if (!ops.empty()) ZV_TRY(kv.kv_write_batch(std::move(ops)));
  ZV_TRY(SparseIndexState::write(
      kv, SparseIndexState::create(stats.record_count, stats.posting_entries)));
  stats.elapsed_ms = elapsed_ms_since(started_ns);
  return stats;
}

}  // namespace zv::text
