#include "src/runtime/operational_counters.h"

#include <array>

namespace zv {

void CounterCell::sub(uint64_t n) {
  uint64_t cur = v_.load(std::memory_order_relaxed);
  while (!v_.compare_exchange_weak(cur, cur > n ? cur - n : 0, std::memory_order_relaxed)) {
  }
}

void CounterCell::max(uint64_t v) {
  uint64_t cur = v_.load(std::memory_order_relaxed);
  while (cur < v && !v_.compare_exchange_weak(cur, v, std::memory_order_relaxed)) {
  }
}

void OptionalCounterCell::set(std::optional<uint64_t> v) {
  v_.store(v.value_or(0), std::memory_order_relaxed);
  known_.store(v.has_value(), std::memory_order_relaxed);
}

std::optional<uint64_t> OptionalCounterCell::read() const {
  if (!known_.load(std::memory_order_relaxed)) return std::nullopt;
  return v_.load(std::memory_order_relaxed);
}

OperationalCounters& OperationalCounters::global() {
  // The module's one registry: every database of the process shares it.
  static OperationalCounters counters;
  return counters;
}

std::span<const OperationalCounters::CellInfo> OperationalCounters::cells() {
  using C = OperationalCounters;
  static constexpr std::array<CellInfo, 38> kCells = {{
      {"startup_ms", CounterKind::kMax, &C::startup_ms},
      {"wal_replay_ms", CounterKind::kMax, &C::wal_replay_ms},
      {"wal_records_replayed", CounterKind::kMax, &C::wal_records_replayed},
      {"ann_rebuild_ms", CounterKind::kMax, &C::ann_rebuild_ms},
      {"ann_rebuild_scanned_nodes", CounterKind::kMax, &C::ann_rebuild_scanned_nodes},
      {"derived_rebuild_ms", CounterKind::kMax, &C::derived_rebuild_ms},
      {"text_index_rebuild_ms", CounterKind::kMax, &C::text_index_rebuild_ms},
      {"text_postings_written", CounterKind::kAdd, &C::text_postings_written},
      {"text_index_repairs", CounterKind::kAdd, &C::text_index_repairs},
      {"text_lexical_queries", CounterKind::kAdd, &C::text_lexical_queries},
      {"text_lexical_query_ms", CounterKind::kMax, &C::text_lexical_query_ms},
      {"text_candidates_scored", CounterKind::kAdd, &C::text_candidates_scored},
      {"text_consistency_audits", CounterKind::kAdd, &C::text_consistency_audits},
      {"text_consistency_audit_failures", CounterKind::kAdd, &C::text_consistency_audit_failures},
      {"hybrid_query_ms", CounterKind::kMax, &C::hybrid_query_ms},
      {"hybrid_candidates_fused", CounterKind::kAdd, &C::hybrid_candidates_fused},
      {"planner_hybrid_queries", CounterKind::kAdd, &C::planner_hybrid_queries},
      {"planner_text_only_queries", CounterKind::kAdd, &C::planner_text_only_queries},
      {"planner_vector_only_queries", CounterKind::kAdd, &C::planner_vector_only_queries},
      {"records_exported", CounterKind::kAdd, &C::records_exported},
      {"records_imported", CounterKind::kAdd, &C::records_imported},
      {"import_errors", CounterKind::kAdd, &C::import_errors},
      {"derived_prefix_scans", CounterKind::kAdd, &C::derived_prefix_scans},
      {"derived_full_scan_fallbacks", CounterKind::kAdd, &C::derived_full_scan_fallbacks},
      {"process_rss_bytes", CounterKind::kSet, &C::process_rss_bytes},
      {"process_virtual_bytes", CounterKind::kSet, &C::process_virtual_bytes},
      {"hnsw_nodes_count", CounterKind::kSet, &C::hnsw_nodes_count},
      {"hnsw_logical_bytes", CounterKind::kSet, &C::hnsw_logical_bytes},
      {"volatile_cache_entries", CounterKind::kSet, &C::volatile_cache_entries},
      {"evicted_nodes", CounterKind::kAdd, &C::evicted_nodes},
      {"eviction_candidates", CounterKind::kAdd, &C::eviction_candidates},
      {"eviction_passes", CounterKind::kAdd, &C::eviction_passes},
      {"evicted_bytes_estimate", CounterKind::kAdd, &C::evicted_bytes_estimate},
      {"vectors_quantized", CounterKind::kAdd, &C::vectors_quantized},
      {"vectors_promoted", CounterKind::kAdd, &C::vectors_promoted},
      {"sq8_vectors", CounterKind::kAdd, &C::sq8_vectors},
      {"derived_payload_keys_skipped", CounterKind::kAdd, &C::derived_payload_keys_skipped},
      {"text_tokens_skipped", CounterKind::kAdd, &C::text_tokens_skipped},
  }};
  return kCells;
}

}  // namespace zv
