// OperationalCounters: the process-wide registry of operation counters that
// the storage engine, the indexes, the search pipeline and the SDK update and
// the operational metrics report reads. One instance per process (global()),
// shared by every database; cells start at 0 and are never reset. Each cell
// is a lock-free atomic with one kind of update: add, max (keeps the largest
// value seen) or set (the latest reading). Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace zv {

enum class CounterKind : uint8_t { kAdd, kMax, kSet };

class CounterCell {
 public:
  void add(uint64_t n) { v_.fetch_add(n, std::memory_order_relaxed); }
  // Saturates at 0 (a gauge moved by +1 and -1).
  void sub(uint64_t n);
  void max(uint64_t v);
  void set(uint64_t v) { v_.store(v, std::memory_order_relaxed); }
  uint64_t read() const { return v_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> v_{0};
};

// A set cell that also records whether a reading was available.
class OptionalCounterCell {
 public:
  void set(std::optional<uint64_t> v);
  std::optional<uint64_t> read() const;

 private:
  std::atomic<uint64_t> v_{0};
  std::atomic<bool> known_{false};
};

struct OperationalCounters {
  // Maxima.
  CounterCell startup_ms;
  CounterCell wal_replay_ms;
  CounterCell wal_records_replayed;
  CounterCell ann_rebuild_ms;
  CounterCell ann_rebuild_scanned_nodes;
  CounterCell derived_rebuild_ms;
  CounterCell text_index_rebuild_ms;
  CounterCell text_lexical_query_ms;
  CounterCell hybrid_query_ms;
  // Additions.
  CounterCell text_postings_written;
  CounterCell text_index_repairs;
  CounterCell text_lexical_queries;
  CounterCell text_candidates_scored;
  CounterCell text_consistency_audits;
  CounterCell text_consistency_audit_failures;
  CounterCell hybrid_candidates_fused;
  CounterCell planner_hybrid_queries;
  CounterCell planner_text_only_queries;
  CounterCell planner_vector_only_queries;
  CounterCell records_exported;
  CounterCell records_imported;
  CounterCell import_errors;
  CounterCell derived_prefix_scans;
  CounterCell derived_full_scan_fallbacks;
  // Index entries left out because their key would pass the key-value
  // engine's key limit: payload-index entries and text tokens.
  CounterCell derived_payload_keys_skipped;
  CounterCell text_tokens_skipped;
  // Searches that ran only the sparse stage (no report key of its own).
  CounterCell planner_sparse_only_queries;
  // Eviction and quantization (no report keys of their own).
  CounterCell evicted_nodes;
  CounterCell eviction_candidates;
  CounterCell eviction_passes;
  CounterCell evicted_bytes_estimate;
  CounterCell vectors_quantized;
  CounterCell vectors_promoted;
  CounterCell sq8_vectors;  // added +1 per quantized, -1 per promoted node
  // Gauges.
  CounterCell process_rss_bytes;
  CounterCell process_virtual_bytes;
  CounterCell hnsw_nodes_count;
  CounterCell hnsw_logical_bytes;
  CounterCell volatile_cache_entries;
  OptionalCounterCell mmap_resident_bytes;

  // The process's registry.
  static OperationalCounters& global();

  // Every plain cell with its name and kind, in report order.
  struct CellInfo {
    std::string_view name;
    CounterKind kind;
    CounterCell OperationalCounters::*cell;
  };
  static std::span<const CellInfo> cells();
};

}  // namespace zv
