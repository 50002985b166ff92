#include "src/sdk/index_check.h"

#include "platform/clock.h"
#include "src/runtime/operational_counters.h"
#include "src/sdk/index_rebuild.h"
#include "src/text/derived_index.h"
#include "src/text/index_check.h"
#include "src/text/sparse_index.h"
#include "src/text/text_index_state.h"

namespace zv {

namespace {

ZolvaStatus check_derived(const EmbeddedDb& db, StorageEngine& e,
                          const text::ExpectedIndexCounts& want, bool replayed) {
  auto state = text::DerivedIndexState::read(*e.backend);
  bool current = false;
  if (state.ok()) {
    ZV_ASSIGN_OR_RETURN(uint64_t ns_entries, text::count_pairs(*e.backend, Partition::kNamespaceIndex));
    ZV_ASSIGN_OR_RETURN(uint64_t payload_entries, text::count_pairs(*e.backend, Partition::kPayloadIndex));
    if (!*state) {
      if (want.live_records == 0 && ns_entries == 0 && payload_entries == 0) {
        return text::DerivedIndexState::write(e, text::DerivedIndexState::create(0, 0, 0));
      }
    } else {
      const text::DerivedIndexState& s = **state;
      current = !replayed && s.schema_version == text::kDerivedIndexSchemaVersion &&
                s.record_count == want.live_records && s.namespace_entries == ns_entries &&
                s.payload_entries == payload_entries && ns_entries >= want.live_records;
    }
  }
  if (current) return {};
  ZV_TRY(rebuild_derived_index(db));
  return {};
}

ZolvaStatus check_text(const EmbeddedDb& db, StorageEngine& e,
                       const text::ExpectedIndexCounts& want, bool replayed) {
  auto state = text::TextIndexState::read(*e.backend);
  bool current = false;
  if (state.ok()) {
    ZV_ASSIGN_OR_RETURN(text::StoredTextCounts got, text::count_stored_text_entries(*e.backend));
    if (!*state) {
      if (want.text_records == 0 && got.postings == 0 && got.doc_stats == 0 &&
          got.term_stats == 0 && got.namespace_stats == 0 && got.other_stats == 0) {
        return text::TextIndexState::write(e, text::TextIndexState::create(0, 0, 0, 0, 0));
      }
    } else {
      const text::TextIndexState& s = **state;
      current = !replayed && s.is_compatible() && s.record_count == want.text_records &&
                s.posting_entries == got.postings && got.postings == want.postings &&
                s.doc_stats_entries == got.doc_stats && got.doc_stats == want.text_records &&
                s.term_stats_entries == got.term_stats && got.term_stats == want.term_stats &&
                s.namespace_stats_entries == got.namespace_stats &&
                got.namespace_stats == want.namespace_stats && got.other_stats == 0;
    }
  }
  if (current) return {};
  OperationalCounters::global().text_index_repairs.add(1);
  ZV_TRY(rebuild_text_index(db));
  return {};
}

ZolvaStatus check_sparse(const EmbeddedDb& db, StorageEngine& e,
                         const text::ExpectedIndexCounts& want, bool replayed) {
  auto state = text::SparseIndexState::read(*e.backend);
  bool current = false;
  if (state.ok()) {
    ZV_ASSIGN_OR_RETURN(uint64_t postings, text::count_pairs(*e.backend, Partition::kSparseIndex));
    if (!*state) {
      if (want.live_records == 0 && want.sparse_postings == 0 && postings == 0) {
        return text::SparseIndexState::write(e, text::SparseIndexState::create(0, 0));
      }
    } else {
      const text::SparseIndexState& s = **state;
      current = !replayed && s.schema_version == text::kSparseIndexSchemaVersion &&
                s.record_count == want.live_records && s.posting_entries == postings &&
                postings == want.sparse_postings;
    }
  }
  if (current) return {};
  ZV_TRY(rebuild_sparse_index(db));
  return {};
}

}  // namespace

ZolvaStatus ensure_derived_indexes(const EmbeddedDb& db) {
  ZV_ASSIGN_OR_RETURN(std::shared_ptr<StorageEngine> engine, db.engine());
  text::ExpectedIndexCounts want;
  {
    ZV_ASSIGN_OR_RETURN(std::vector<EngineNode> nodes, engine->scan_all_nodes());
    want = text::count_expected_entries(nodes, record_now_ms());
  }
  // Counts cannot tell a replaced record whose index change was lost from
  // one whose change landed when both versions index the same number of
  // entries; after a replay the states are therefore not trusted.
  const bool replayed = engine->wal_records_replayed != 0;
  ZV_TRY(check_derived(db, *engine, want, replayed));
  ZV_TRY(check_text(db, *engine, want, replayed));
  ZV_TRY(check_sparse(db, *engine, want, replayed));
  return {};
}

}  // namespace zv
