// StorageEngine: an open database, one shared object holding every handle,
// index, cache, lock and setting the engine's operations work on: its config
// copy, the lock file, the vector store segments with their tier
// descriptors, the backend, the vector index behind an atomically replaceable
// pointer, the pending index inserts, the node cache, the text statistics
// caches, the field statistics, the co-access warmer, the access tracker, the
// scalar index, the memory budget, the write-ahead log, the label table and
// the insert lock. Built only by assemble() (the last step of the open);
// shared by reference count. Thread-safe: every mutable field sits behind
// the lock or atomic named beside it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/file.h"
#include "platform/shared_slot.h"
#include "src/backends/storage_backend.h"
#include "src/foundation/error.h"
#include "src/index/vector_index_port.h"
#include "src/record/engine_node.h"
#include "src/record/node_codec.h"
#include "src/runtime/config.h"
#include "src/storage/access_tracker.h"
#include "src/storage/cache_warmer.h"
#include "src/storage/field_stats.h"
#include "src/storage/locked.h"
#include "src/storage/memory_budget.h"
#include "src/storage/memory_governor.h"
#include "src/storage/batch_insert.h"
#include "src/record/kv_service.h"
#include "src/storage/node_cache.h"
#include "src/storage/quantization.h"
#include "src/storage/rebuild_from_store.h"
#include "src/storage/scalar_index.h"
#include "src/storage/vfile.h"
#include "src/text/index_locks.h"
#include "src/text/text_stats_cache.h"
#include "src/wal/sharded_wal.h"

namespace zv {

struct EngineOpenSeams;

// Test seams of the maintenance operations, set before the engine is shared:
// a pause at named steps of layout compaction and the index rebuild (crash
// tests widen their windows there; lock tests take the insert lock between
// the flush and the operation's own lock) and a stand-in for the reopen of
// segment 0 after its rewrite (tests make it fail).
struct MaintenanceSeams {
  std::function<void(std::string_view step)> at_step;
  std::function<ZolvaStatus(VFile& segment, uint64_t capacity)> reopen_segment;
};

inline constexpr size_t kMaxSegments = 64;
inline constexpr uint64_t kSegmentMask = 63;

// One vector store segment behind its reader-writer lock: reads of node data
// share it, writes of vectors and headers hold it alone.
struct VectorStoreSegment {
  explicit VectorStoreSegment(VFile f) : file(std::move(f)) {}
  mutable std::shared_mutex lock;
  VFile file;
};

// One tier file opened by the open.
struct TierFile {
  std::string path;
  std::optional<uint64_t> last_moved_ms;  // absent at open
  uint64_t moves = 0;
  uint32_t reserved = 0;
  uint8_t current_tier = 0;
  uint8_t home_tier = 0;
};

// One queued vector-index insert (drained before the insert returns).
struct PendingHnswInsert {
  VectorRepr vector;
  NodeId id = 0;
  uint64_t storage_offset = 0;
  std::vector<uint64_t> filter_words;
};

// What the open hands to assemble(): everything it opened or built.
struct EngineParts {
  Config config;
  std::optional<File> lock_file;
  std::string data_dir;  // empty in memory mode
  std::vector<VFile> segments;
  std::array<std::optional<uint32_t>, kMaxSegments> tier_slots{};
  std::vector<TierFile> tier_files;
  std::shared_ptr<StorageBackend> backend;
  std::shared_ptr<VectorIndexPort> vector_index;
  std::shared_ptr<wal::ShardedWal> wal;  // none read-only or in memory
  FieldStats field_stats;
  std::shared_ptr<ScalarIndex> scalar_index;
  EdgeLabelTable labels;  // the stored labels (directory mode)
  uint64_t wal_records_replayed = 0;  // log records the open re-applied
};

class StorageEngine final : public KvService {
 public:
  // The last step of the open: wraps the parts into a shared engine with
  // empty caches and fresh counters.
  static std::shared_ptr<StorageEngine> assemble(EngineParts parts);
  // The parts of a memory-mode engine: the in-memory backend, a fresh
  // in-memory index, one in-memory segment of 64 MiB; nothing on disk.
  static EngineParts memory_mode_parts(Config config);

  // Opens (or, in memory mode, builds) a database; without a configuration
  // it is read from the environment. The seams replace the backend factory
  // table and the log's options (tests).
  static ZolvaResult<std::shared_ptr<StorageEngine>> open(const std::string& path,
                                                          std::optional<Config> config);
  static ZolvaResult<std::shared_ptr<StorageEngine>> open(const std::string& path,
                                                          std::optional<Config> config,
                                                          const EngineOpenSeams& seams);
  // Replay's write of one logged node, before the engine exists: appends it
  // to segment 0 (the caller owns the segment alone), adds it to the index
  // under `index_id` and stores its record in partition 0 under its own id.
  static ZolvaStatus replay_write_node(VFile& segment0, VectorIndexPort& index,
                                       StorageBackend& backend, NodeId index_id,
                                       const EngineNode& node);

  StorageEngine(const StorageEngine&) = delete;
  StorageEngine& operator=(const StorageEngine&) = delete;

  // --- State (values after open in the comments) ---
  const Config config;
  const std::optional<File> lock_file;
  const std::string data_dir;
  std::vector<std::unique_ptr<VectorStoreSegment>> segments;
  const std::array<std::optional<uint32_t>, kMaxSegments> tier_slots;
  const std::vector<TierFile> tier_files;
  const std::shared_ptr<StorageBackend> backend;
  Locked<std::vector<PendingHnswInsert>, std::mutex> pending_hnsw;
  NodeCache node_cache;
  text::TextStatsCaches text_stats;  // term and namespace statistics, each with its lock
  text::IndexLocks index_locks;      // the index gate and the text-index mutex
  Locked<FieldStats> field_stats;
  CacheWarmer cache_warmer;
  const std::shared_ptr<AccessTracker> access_tracker;
  const std::shared_ptr<ScalarIndex> scalar_index;  // may be null
  Locked<EdgeLabelTable, std::mutex> labels;
  const std::shared_ptr<wal::ShardedWal> wal;
  const std::shared_ptr<MemoryBudget> memory_budget;
  // Log records this open re-applied: writes acknowledged after the
  // backend's last durable point, whose index entries may be lost or half
  // written (0 after a clean close).
  const uint64_t wal_records_replayed;

  // --- Vector index: readers keep the index they loaded alive ---
  std::shared_ptr<VectorIndexPort> vector_index() const {
    return vector_index_.load();
  }
  void swap_vector_index(std::shared_ptr<VectorIndexPort> index) {
    vector_index_.store(std::move(index));
  }

  bool read_only() const { return config.read_only; }
  // Whether writes are taken: the read-only error, or the error that stopped
  // writes (a layout compaction that could not reopen its rewritten segment)
  // until the database is reopened.
  ZolvaStatus check_writable() const;

  // Refills the scalar index from the stored nodes: a fresh index built from
  // partition 0 replaces the contents of the current one.
  ZolvaStatus rebuild_scalar_index();
  // The id of an edge label; a new label is stored durably before its id is
  // handed out (refused on a read-only engine).
  ZolvaResult<uint32_t> intern_label(std::string_view label);

  // --- Locks ---
  using InsertGuard = std::unique_lock<std::timed_mutex>;
  // Tries at once, then waits up to the configured timeout (without limit
  // when the deadline would overflow); expiry fails with Timeout
  // "acquire insert_lock in " + `caller`.
  ZolvaResult<InsertGuard> lock_insert(std::string_view caller);
  ZolvaResult<std::unique_lock<std::shared_mutex>> lock_segment0();
  // The segment a storage offset names, or the corrupt-storage error.
  ZolvaResult<const VectorStoreSegment*> segment_for(uint64_t offset, NodeId id) const;

  // --- Reads ---
  // The whole read of one node from storage: none when it is absent,
  // deleted, unreadable, or the record at its offset belongs to another id.
  ZolvaResult<std::optional<EngineNode>> read_stored_node(NodeId id);
  ZolvaResult<std::optional<EngineNode>> get(NodeId id);
  ZolvaResult<std::vector<EngineNode>> get_many(std::span<const NodeId> ids);
  // Nodes after the cursor (a decimal id; malformed reads as 0) in key
  // order, at most `limit` (negative: no limit), and the next cursor.
  ZolvaResult<std::pair<std::vector<EngineNode>, std::string>> scan_nodes_page(
      std::string_view cursor, int64_t limit);
  ZolvaResult<std::vector<EngineNode>> scan_all_nodes();

  // --- Writers (each runs the memory governor first) ---
  // Stores one node, replacing a stored node with its id.
  ZolvaStatus insert(const EngineNode& node);
  // Removes one node; an id never stored succeeds. The reason only labels
  // the diagnostic span.
  ZolvaStatus delete_node(NodeId id, std::string_view reason);
  ZolvaStatus batch_insert_with_opts(std::span<const EngineNode> nodes,
                                     const BatchInsertOptions& opts);
  ZolvaStatus queue_hnsw_insert(PendingHnswInsert item);
  // True when entries were taken and all went into the index.
  ZolvaResult<bool> drain_pending_hnsw();

  // --- Raw key-value writes (KvService), refused when read-only ---
  ZolvaStatus kv_put(Partition p, std::string_view key, std::string_view value) override;
  ZolvaStatus kv_write_batch(std::vector<BatchOp> ops) override;
  ZolvaResult<std::vector<KvPair>> scan_prefix(Partition p, std::string_view prefix) override;

  // --- Maintenance ---
  // The checkpoint: drains pending index inserts, makes the backend, the
  // mapped store files and "vector_index.bin" durable, stores the applied
  // log position, runs quantization maintenance and refreshes the gauges.
  ZolvaStatus flush();
  // A flush, then every log shard synced and reopened and the checkpoint
  // reset to 0, so that the next open replays the whole log.
  ZolvaStatus compact_wal();
  // Rewrites "vector_index.bin" from the index in use (nothing without a
  // log); a mapped index is replaced by one mapped from the new file.
  ZolvaStatus persist_vector_index();
  // Moves cold nodes' index vectors to the 8-bit form and hot ones back;
  // called by flush under the insert lock.
  ZolvaResult<QuantizationSummary> quantization_maintenance();
  // Re-inserts the archived nodes (partition 1) that belonged to the summary.
  ZolvaResult<std::vector<EngineNode>> recover_archived_nodes(NodeId summary_id);
  // Rewrites segment 0 in breadth-first order of the index's bottom layer;
  // returns the number of nodes written.
  ZolvaResult<uint64_t> compact_layout_bfs();
  // Builds a new index from segment 0 and swaps it in.
  ZolvaResult<RebuildReport> rebuild_vector_index();
  MaintenanceSeams maintenance_seams;

  // --- Memory governor and eviction ---
  MemoryUsage memory_usage();
  ZolvaStatus check_memory_pressure();
  ZolvaResult<EvictionReport> run_eviction(double fraction, bool limit_exceeded,
                                           bool insert_lock_held);
  ZolvaStatus consolidate_node(const EngineNode& node, bool insert_lock_held);
  // Usage sources of the governor; tests replace them before sharing.
  MemoryProbe memory_probe;
  // Cached nodes above which an insert runs an eviction pass.
  uint64_t node_cache_capacity;

 private:
  explicit StorageEngine(EngineParts parts);
  void prefetch_companions(NodeId id);
  // Marks the given store records of a failed write void (deleted, id 0).
  void void_store_records(std::span<const uint64_t> positions, const char* what,
                          const ZolvaError& cause);

  // Steps 3 to 7 of flush, under the insert lock.
  ZolvaStatus flush_locked();
  // The rebuild under the insert lock, after a flush.
  ZolvaResult<RebuildReport> rebuild_locked();
  ZolvaResult<bool> rebuild_pending();
  // While the rebuild marker is set: the position of the newest record of
  // the id in segment 0 (a node the index does not know yet), else none.
  std::optional<uint64_t> unindexed_record(NodeId id);
  void stop_writes(const ZolvaError& cause);

  std::timed_mutex insert_lock_;
  Locked<std::optional<ZolvaError>, std::mutex> write_stop_;
  SharedSlot<VectorIndexPort> vector_index_;
};

// The cursor text as an id: digits with an optional leading '+'; anything
// else (or a value past 2^128 - 1) is 0. Empty: none.
std::optional<NodeId> parse_scan_cursor(std::string_view cursor);

}  // namespace zv
