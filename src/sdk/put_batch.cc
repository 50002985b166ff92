#include "src/sdk/put_batch.h"

#include <chrono>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>

#include "platform/log.h"
#include "platform/saturating.h"
#include "src/index/node_table.h"
#include "src/record/node_key.h"
#include "src/record/validation.h"
#include "src/record/version_history.h"
#include "src/runtime/operational_counters.h"
#include "src/sdk/index_rebuild.h"
#include "src/sdk/memory.h"
#include "src/sdk/provenance.h"
#include "src/sdk/record_index.h"
#include "src/storage/batch_insert.h"
#include "src/storage/shred_record.h"
#include "src/text/derived_index.h"
#include "src/text/record_change.h"
#include "src/text/sparse_index.h"
#include "src/text/text_index_state.h"

namespace zv {

namespace {

constexpr const char* kLogTarget = "zivir::sdk::put_batch";

// The state of the latest record of one id already handled in the call.
struct CarriedState {
  uint64_t version = 0;
  // The creation time of the id's first record: a key repeated in the call
  // keeps it as a second put would, rather than taking the later chunk's time.
  uint64_t created_at_ms = 0;
  memory::QuarantineState quarantine;
  // Where that record sits in the call's result (once its chunk is done).
  size_t result_index = 0;
};

using BatchCarryOver = std::unordered_map<NodeId, CarriedState, NodeIdHash>;

// Accumulates the time of a scope into one of the timings (when asked).
class StageClock {
 public:
  StageClock(PutBatchTimings* timings, uint64_t PutBatchTimings::*field)
      : timings_(timings), field_(field), start_(std::chrono::steady_clock::now()) {}
  ~StageClock() {
    if (timings_ == nullptr) return;
    timings_->*field_ += static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                   std::chrono::steady_clock::now() - start_)
                                                   .count());
  }
  StageClock(const StageClock&) = delete;
  StageClock& operator=(const StageClock&) = delete;

 private:
  PutBatchTimings* timings_;
  uint64_t PutBatchTimings::*field_;
  std::chrono::steady_clock::time_point start_;
};

ZolvaStatus validate_inputs(const std::vector<MemoryInput>& inputs) {
  for (const MemoryInput& in : inputs) {
    ZV_TRY(validate_namespace(in.ns));
    ZV_TRY(validate_key(in.key));
    ZV_TRY(validate_metadata_keys(&in.metadata));
  }
  return {};
}

// Whether the three state records let the per-chunk record changes keep the
// indexes: each present, decodable and of the current format. A failing
// read counts as untrustworthy; the rebuilds will report it.
bool index_states_current(StorageEngine& engine) {
  auto derived = text::DerivedIndexState::read(*engine.backend);
  if (!derived.ok() || !*derived || (*derived)->schema_version != text::kDerivedIndexSchemaVersion) {
    return false;
  }
  auto text_state = text::TextIndexState::read(*engine.backend);
  if (!text_state.ok() || !*text_state || !(*text_state)->is_compatible()) return false;
  auto sparse = text::SparseIndexState::read(*engine.backend);
  return sparse.ok() && *sparse && (*sparse)->schema_version == text::kSparseIndexSchemaVersion;
}

// One call's work across its chunks.
class PutBatchRun {
 public:
  // With `full_rebuilds` the chunks change no index: the rebuilds at the
  // end replace every entry anyway.
  PutBatchRun(const EmbeddedDb& db, StorageEngine& engine, std::vector<MemoryInput>& inputs,
              const PutBatchSeams& seams, bool full_rebuilds)
      : db_(db),
        engine_(engine),
        config_(db.config()),
        inputs_(inputs),
        seams_(seams),
        index_per_chunk_(!full_rebuilds) {
    carry_.reserve(inputs.size());
    const bool persistent = config_.backend != BackendKind::kInMemory;
    if (seams.force_full_rebuilds) {
      may_defer_ = persistent;
    } else {
      // A deferred chunk costs a rebuild of the whole vector index, worth it
      // only when the call brings at least as many vectors as it holds.
      may_defer_ = persistent && engine.vector_index()->len() <= inputs.size();
    }
  }

  ZolvaResult<std::vector<MemoryRecord>> run() {
    const size_t chunk = config_.batch_size.value_or(kDefaultPutBatchChunk);
    for (size_t lo = 0; lo < inputs_.size(); lo += chunk) {
      const size_t hi = std::min(inputs_.size(), lo + chunk);
      if (seams_.before_chunk) seams_.before_chunk(lo / chunk);
      ZolvaStatus done = store_chunk(lo, hi);
      if (!done.ok()) {
        // Stored chunks without their index entries: the next writer's
        // rebuilds must not be skipped.
        if (!index_per_chunk_ && !results_.empty()) engine_.index_locks.repair_mark.set();
        // Records of earlier chunks stay stored; their vectors must not stay
        // invisible until the next open.
        if (vector_rebuild_due_) {
          auto rebuilt = engine_.rebuild_vector_index();
          if (!rebuilt.ok()) {
            ZV_ERROR(kLogTarget, "vector index rebuild after a failed chunk failed",
                     {"error", rebuilt.error().message()});
          }
        }
        return make_unexpected(std::move(done).error());
      }
    }
    if (vector_rebuild_due_) {
      StageClock clock(seams_.timings, &PutBatchTimings::rebuild_ns);
      ZV_TRY(engine_.rebuild_vector_index());
    }
    return std::move(results_);
  }

 private:
  struct Earlier {
    uint64_t version = 1;
    uint64_t created_at_ms = 0;
    memory::QuarantineState quarantine;
    std::optional<MemoryRecord> old_record;  // what the id held before this chunk
  };

  // The earlier state of one input. Within a chunk (its stripes held) a
  // repeated id takes the state its earlier occurrence left. An id's first
  // occurrence in a chunk reads the stored record: when that is still the
  // record this call stored in an earlier chunk, the call's own state
  // carries over (even if the record has expired since); when another writer
  // replaced or deleted it between the chunks, the stored state rules, so
  // no version is lost and the index change starts from what is stored.
  ZolvaResult<Earlier> earlier_state(NodeId id, const MemoryInput& in, uint64_t now,
                                     bool first_in_chunk) {
    auto carried = carry_.find(id);
    if (carried != carry_.end() && !first_in_chunk) return carried_state(carried->second);
    ZV_ASSIGN_OR_RETURN(std::optional<EngineNode> node, engine_.get(id));
    Earlier e;
    if (!node) {
      e.created_at_ms = now;
      return e;
    }
    if (carried != carry_.end()) {
      const MemoryRecord& mine = results_[carried->second.result_index];
      std::optional<MemoryRecord> raw = MemoryRecord::from_node(*node, false);
      if (raw && raw->ns == mine.ns && raw->key == mine.key && raw->version == mine.version &&
          raw->updated_at_ms == mine.updated_at_ms && raw->payload == mine.payload) {
        e = carried_state(carried->second);
        e.old_record = mine;
        return e;
      }
    }
    std::optional<MemoryRecord> stored = MemoryRecord::from_node(*node, true);
    if (!stored || stored->ns != in.ns || stored->key != in.key) {
      return make_unexpected(ZolvaError::node_id_collision(id));
    }
    e.version = stored->version == kU64Max ? kU64Max : stored->version + 1;
    e.created_at_ms = stored->created_at_ms;
    e.quarantine = memory::quarantine_state_of(*stored);
    e.old_record = std::move(stored);
    return e;
  }

  static Earlier carried_state(const CarriedState& c) {
    Earlier e;
    e.version = c.version == kU64Max ? kU64Max : c.version + 1;
    e.created_at_ms = c.created_at_ms;
    e.quarantine = c.quarantine;
    return e;
  }

  ZolvaStatus store_chunk(size_t lo, size_t hi) {
    std::vector<NodeId> ids;
    ids.reserve(hi - lo);
    for (size_t i = lo; i < hi; ++i) ids.push_back(record_node_id(inputs_[i].ns, inputs_[i].key));
    text::RecordWriteGuard guard(engine_.index_locks, ids);

    const uint64_t now = record_now_ms();
    std::vector<MemoryRecord> records;
    std::vector<EngineNode> nodes;
    std::vector<size_t> quarantined;  // chunk positions quarantined anew
    // The chunk's distinct ids in first-occurrence order: the record each
    // held before the chunk and the position of its last record.
    std::unordered_map<NodeId, size_t, NodeIdHash> change_of;
    std::vector<std::optional<MemoryRecord>> olds;
    std::vector<size_t> last_of;
    records.reserve(hi - lo);
    nodes.reserve(hi - lo);
    {
      StageClock clock(seams_.timings, &PutBatchTimings::prepare_ns);
      for (size_t i = lo; i < hi; ++i) {
        MemoryInput& in = inputs_[i];
        const NodeId id = ids[i - lo];
        const auto [change, first_in_chunk] = change_of.try_emplace(id, olds.size());
        ZV_ASSIGN_OR_RETURN(Earlier e, earlier_state(id, in, now, first_in_chunk));
        if (first_in_chunk) {
          olds.push_back(std::move(e.old_record));
          last_of.push_back(0);
        }
        last_of[change->second] = i - lo;

        memory::QuarantineState q = e.quarantine;
        if (!q.quarantined_at_ms && in.quarantine) {
          q.quarantined_at_ms = now;
          q.quarantine_reason = std::string(memory::kExplicitWriteReason);
          q.quarantined_by = std::string(kPutBatchQuarantineAuthor);
          q.quarantine_review_due_ms =
              config_.quarantine_review_default_days == 0
                  ? std::nullopt
                  : std::optional<uint64_t>(sat_add_u64(
                        now, sat_mul_u64(config_.quarantine_review_default_days, memory::kMsPerDay)));
          quarantined.push_back(i - lo);
        }
        ZV_ASSIGN_OR_RETURN(memory::Provenance prov, memory::resolve_provenance(db_, in));
        ZV_ASSIGN_OR_RETURN(uint64_t valid_at, memory::resolve_valid_at_ms(in.valid_at_ms, e.created_at_ms));
        carry_[id] = CarriedState{e.version, e.created_at_ms, q, results_.size() + (i - lo)};

        MemoryRecord r;
        r.ns = in.ns;
        r.key = in.key;
        r.payload = std::move(in.payload);
        r.metadata = std::move(in.metadata);
        r.sparse_vector = std::move(in.sparse_vector);
        r.vector = nonzero_vector(std::move(in.vector));
        if (auto ttl = memory::effective_ttl_ms(config_.memory_default_ttl_ms, in.ns, in.ttl_ms)) {
          r.expires_at_ms = sat_add_u64(now, *ttl);
        }
        r.created_at_ms = e.created_at_ms;
        r.updated_at_ms = now;
        r.version = e.version;
        r.node_id = id;
        r.valid_at_ms = valid_at;
        r.confidence = prov.confidence;
        r.confidence_class = prov.confidence_class;
        r.derived_from = std::move(prov.derived_from);
        memory::apply_quarantine_state(r, std::move(q));
        nodes.push_back(r.into_node());
        records.push_back(std::move(r));
      }
    }

    BatchInsertOptions opts;
    opts.skip_existing_check = true;
    opts.skip_wal = false;
    opts.insert_mode = may_defer_ && nodes.size() >= kPutBatchDeferredChunk ? InsertMode::kAuto
                                                                           : InsertMode::kIncremental;
    {
      StageClock clock(seams_.timings, &PutBatchTimings::insert_ns);
      ZV_TRY(engine_.batch_insert_with_opts(nodes, opts));
    }
    if (!opts.indexes_now(nodes.size())) vector_rebuild_due_ = true;
    nodes.clear();

    for (size_t pos : quarantined) {
      db_.record_audit(AuditRecord::create("quarantine_enter", records[pos].ns, records[pos].key,
                                           "ok", std::string(memory::kExplicitWriteReason)));
    }
    {
      StageClock clock(seams_.timings, &PutBatchTimings::history_ns);
      for (const MemoryRecord& r : records) {
        if (!r.metadata.empty()) (void)shred_record::put(r.node_id, r.metadata, *engine_.backend);
      }
      write_version_history(records);
    }

    if (index_per_chunk_) {
      StageClock clock(seams_.timings, &PutBatchTimings::index_ns);
      std::vector<text::RecordPair> pairs;
      pairs.reserve(olds.size());
      for (size_t c = 0; c < olds.size(); ++c) {
        pairs.push_back({olds[c] ? &*olds[c] : nullptr, &records[last_of[c]]});
      }
      ZolvaStatus changed = text::apply_record_changes(index_target(engine_), pairs);
      if (!changed.ok()) {
        // The chunk's records are stored; their index entries may be partly
        // written, so the next full rebuild must not be skipped.
        engine_.index_locks.repair_mark.set();
        return changed;
      }
    }
    for (MemoryRecord& r : records) results_.push_back(std::move(r));
    return {};
  }

  // One batch of the chunk's versions, then each record's prune; the first
  // failure ends the step for the chunk and is dropped.
  void write_version_history(const std::vector<MemoryRecord>& records) {
    std::vector<BatchOp> ops;
    ops.reserve(records.size());
    std::set<std::pair<std::string_view, std::string_view>> keys;
    for (const MemoryRecord& r : records) {
      ops.push_back(BatchOp::put(Partition::kVersions, version_key(r.ns, r.key, r.version),
                                 r.encode_binary()));
      keys.emplace(r.ns, r.key);
    }
    if (auto w = engine_.kv_write_batch(std::move(ops)); !w.ok()) {
      ZV_WARN(kLogTarget, "version history not written", {"error", w.error().message()});
      return;
    }
    for (const auto& [ns, key] : keys) {
      if (auto p = prune_versions(engine_, ns, key, config_.version_history_limit); !p.ok()) {
        ZV_WARN(kLogTarget, "version history not pruned", {"error", p.error().message()});
        return;
      }
    }
  }

  const EmbeddedDb& db_;
  StorageEngine& engine_;
  const Config& config_;
  std::vector<MemoryInput>& inputs_;
  const PutBatchSeams& seams_;
  const bool index_per_chunk_;
  BatchCarryOver carry_;
  std::vector<MemoryRecord> results_;
  bool may_defer_ = false;
  bool vector_rebuild_due_ = false;
};

// The three full rebuilds, in this order, then the repair mark cleared
// unless a writer set it again meanwhile.
ZolvaStatus rebuild_all_indexes(const EmbeddedDb& db, StorageEngine& engine,
                                const PutBatchSeams& seams) {
  StageClock clock(seams.timings, &PutBatchTimings::rebuild_ns);
  if (seams.on_full_rebuilds) seams.on_full_rebuilds();
  const text::RepairMark::Snapshot before = engine.index_locks.repair_mark.snapshot();
  ZV_TRY(rebuild_derived_index(db));
  ZV_TRY(rebuild_text_index(db));
  ZV_TRY(rebuild_sparse_index(db));
  engine.index_locks.repair_mark.clear_if_unchanged(before);
  return {};
}

ZolvaResult<std::vector<MemoryRecord>> put_batch_checked(const EmbeddedDb& db,
                                                         std::vector<MemoryInput>& inputs,
                                                         const PutBatchSeams& seams) {
  ZV_TRY(validate_inputs(inputs));
  ZV_ASSIGN_OR_RETURN(std::shared_ptr<StorageEngine> engine, db.engine());
  // Decided at the call's start: indexes that could not be trusted then are
  // rebuilt whole at its end.
  const bool repair = engine->index_locks.repair_mark.is_set() || !index_states_current(*engine);
  const bool full_rebuilds = repair || seams.force_full_rebuilds;
  std::vector<MemoryRecord> records;
  if (inputs.empty()) {
    // Nothing to store; a read-only database still refuses the write call.
    if (!full_rebuilds) ZV_TRY(engine->check_writable());
  } else {
    PutBatchRun run(db, *engine, inputs, seams, full_rebuilds);
    ZV_ASSIGN_OR_RETURN(records, run.run());
  }
  if (full_rebuilds) {
    if (repair) OperationalCounters::global().text_index_repairs.add(1);
    ZV_TRY(rebuild_all_indexes(db, *engine, seams));
  }
  return records;
}

}  // namespace

ZolvaResult<std::vector<MemoryRecord>> put_batch_with_seams(const EmbeddedDb& db,
                                                            std::vector<MemoryInput> inputs,
                                                            const PutBatchSeams& seams) {
  const std::string audit_ns = inputs.empty() ? "N/A" : inputs.front().ns;
  const std::string audit_key = inputs.empty() ? "N/A" : inputs.front().key;
  auto result = put_batch_checked(db, inputs, seams);
  db.record_audit(AuditRecord::create("put_batch", audit_ns, audit_key,
                                      result.ok() ? "ok" : "err", std::nullopt));
  return result;
}

ZolvaResult<std::vector<MemoryRecord>> EmbeddedDb::put_batch(std::vector<MemoryInput> inputs) const {
  return put_batch_with_seams(*this, std::move(inputs), PutBatchSeams{});
}

}  // namespace zv
