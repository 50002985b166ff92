#include "src/storage/wal_replay.h"

#include <chrono>

#include "platform/log.h"
#include "src/record/node_codec.h"
#include "src/record/node_key.h"
#include "src/storage/node_record_header.h"
#include "src/storage/rebuild_from_store.h"
#include "src/storage/storage_engine.h"

namespace zv {
namespace {

constexpr const char* kLogTarget = "zivir::storage::engine";

ZolvaStatus replay_delete(NodeId id, ReplayTarget t) {
  if (auto offset = t.index.storage_offset(id)) {
    const uint64_t seg = *offset & kSegmentMask;
    if (seg < t.segments.size()) {
      VFile& file = t.segments[seg];
      const uint64_t position = *offset & ~kSegmentMask;
      auto h = file.node_header_at(position);
      // Only this node's own record is marked: a stale offset must not
      // delete whichever node lives there now.
      if (h && h->node_id == id && !h->deleted()) {
        h->flags |= kRecordDeletedFlag;
        ZV_TRY(file.write_node_header(position, *h));
      }
    }
  }
  t.index.remove(id);
  if (t.index.entry_point() == id) {
    if (auto top = t.index.top_level_node()) t.index.set_entry_point(*top);
  }
  (void)t.backend.del(Partition::kDefault, node_key(id));
  return {};
}

}  // namespace

ZolvaStatus StorageEngine::replay_write_node(VFile& segment0, VectorIndexPort& index,
                                             StorageBackend& backend, NodeId index_id,
                                             const EngineNode& node) {
  ZV_ASSIGN_OR_RETURN(uint64_t position, segment0.append_node(node));
  const uint64_t offset = position & ~kSegmentMask;
  const FilterBitset filter(node.bitset);
  auto added = index.add(index_id, filter, node.vector, offset);
  if (!added.ok()) {
    if (!is_zero_norm_refusal(added.error(), index_id)) return make_unexpected(std::move(added).error());
    // The writers stop such vectors before the log; one that got there must
    // not make the database unopenable. The node reads back with its stored
    // vector and is not found by vector search.
    ZV_WARN(kLogTarget, "logged vector has zero norm under cosine; node indexed without a vector",
            {"node_id", node_id_to_string(index_id)});
    ZV_TRY(index.add(index_id, filter, VectorRepr::none(), offset));
  }
  return backend.put(Partition::kDefault, node_key(node.id),
                     encode_node_metadata(node_metadata_of(node, 0)));
}

ZolvaStatus apply_wal_record(const WalRecord& record, ReplayTarget t) {
  if (t.segments.empty())
    return make_unexpected(ZolvaError::generic("corrupt storage: vector_store has no segment 0"));
  if (const auto* ins = std::get_if<WalInsert>(&record))
    return StorageEngine::replay_write_node(t.segments[0], t.index, t.backend, ins->node.id, ins->node);
  if (const auto* upd = std::get_if<WalUpdate>(&record))
    return StorageEngine::replay_write_node(t.segments[0], t.index, t.backend, upd->id, upd->node);
  if (const auto* del = std::get_if<WalDelete>(&record)) return replay_delete(del->id, t);
  return {};
}

ZolvaResult<ReplayFigures> replay_wal(const std::string& wal_path, uint64_t configured_shards,
                                      uint64_t checkpoint_seq, ReplayTarget target,
                                      FileSystem* fs) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  ReplayFigures figures;
  figures.checkpoint_seq = checkpoint_seq;
  ZV_ASSIGN_OR_RETURN(std::vector<wal::SequencedRecord> records,
                      wal::recover(wal_path, configured_shards, checkpoint_seq, fs));
  for (const wal::SequencedRecord& r : records) {
    ZV_TRY(apply_wal_record(r.record, target));
    ++figures.replayed;
  }
  figures.duration_ms = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  if (figures.replayed != 0) {
    ZV_LOG(log::Level::kInfo, kLogTarget, "WAL replay: recovered un-flushed mutations",
           {"replayed", std::to_string(figures.replayed)},
           {"duration_ms", std::to_string(figures.duration_ms)},
           {"checkpoint_seq", std::to_string(checkpoint_seq)});
  }
  return figures;
}

}  // namespace zv
