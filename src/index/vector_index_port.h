// The one interface through which the storage engine and the SDK reach the
// dense-vector index: inserts, removals, searches, lookups, statistics and
// persistence. HnswIndex is its implementation. Every operation may run on
// many threads at once, except sync_mmap, which needs exclusive access;
// whole-index writes expect the engine's insert lock.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/io_error.h"
#include "src/foundation/error.h"
#include "src/foundation/node_id.h"
#include "src/index/disk_node_reader.h"
#include "src/index/hnsw_config.h"
#include "src/index/scored_candidate.h"
#include "src/runtime/filter_bitset.h"
#include "src/vector/score.h"
#include "src/vector/vector_repr.h"

namespace zv {

// Ranked (node id, score) pairs, best first.
using NearestResult = std::vector<ScoredCandidate>;

// What materialize_layers examined and repaired.
struct MaterializeReport {
  uint64_t entries_examined = 0;  // layer-count entries
  uint64_t lists_examined = 0;
  uint64_t dangling_ids = 0;
  uint64_t elapsed_ms = 0;
  bool complete = true;
};

struct NodeSummary {
  NodeId id = 0;
  uint64_t storage_offset = 0;
  uint32_t flags = 0;
  bool operator==(const NodeSummary&) const = default;
};

class VectorIndexPort {
 public:
  virtual ~VectorIndexPort() = default;

  // Backing store and persistence.
  virtual bool is_mmap_backed() const = 0;
  virtual std::optional<std::string> backing_path() const = 0;
  virtual std::optional<uint64_t> mmap_resident_bytes() const = 0;
  virtual IoStatus sync_mmap() = 0;
  virtual std::unique_ptr<VectorIndexPort> empty_like(const std::string& path) const = 0;
  virtual IoStatus persist(const std::string& path) const = 0;
  virtual IoResult<std::unique_ptr<VectorIndexPort>> persist_and_remap(
      const std::string& path) const = 0;

  // Searches.
  virtual NearestResult search_nearest(std::span<const float> query,
                                       std::optional<std::span<const uint64_t>> q_1bit,
                                       std::optional<alternate::TurboQuery> q_3bit,
                                       const FilterBitset& query_mask, uint64_t top_k,
                                       const DiskNodeReader* reader) const = 0;
  virtual ZolvaResult<NearestResult> search_by_method(uint8_t method,
                                                      std::span<const float> query,
                                                      const FilterBitset& query_mask,
                                                      uint64_t top_k,
                                                      DistanceMetric metric) const = 0;
  virtual NearestResult search_nearest_with_metric(std::span<const float> query,
                                                   const FilterBitset& query_mask,
                                                   uint64_t top_k,
                                                   const DiskNodeReader* reader,
                                                   DistanceMetric metric) const = 0;

  // Graph upkeep and lookups.
  virtual MaterializeReport materialize_layers() = 0;
  virtual std::optional<uint64_t> storage_offset(NodeId id) const = 0;
  virtual std::optional<VectorRepr> vector(NodeId id) const = 0;
  virtual std::optional<std::pair<uint64_t, VectorRepr>> vector_and_offset(NodeId id) const = 0;
  virtual std::optional<bool> is_sq8(NodeId id) const = 0;
  virtual bool contains(NodeId id) const = 0;
  virtual uint64_t len() const = 0;
  virtual bool is_empty() const = 0;
  virtual uint64_t node_count() const = 0;
  virtual void sub_node_count(uint64_t n) = 0;
  virtual std::optional<NodeId> entry_point() const = 0;
  virtual void set_entry_point(NodeId id) = 0;
  virtual std::optional<NodeId> top_level_node() const = 0;
  virtual uint64_t max_level() const = 0;
  virtual std::vector<NodeId> node_ids() const = 0;
  virtual std::vector<NodeId> neighbors(NodeId id, uint64_t layer) const = 0;
  virtual std::vector<NodeId> node_layer_neighbors(NodeId id, uint64_t layer) const = 0;
  virtual std::vector<NodeSummary> node_summaries() const = 0;
  virtual std::optional<std::vector<std::string>> integrity_violations() const = 0;
  virtual uint64_t node_level(NodeId id) const = 0;
  virtual uint64_t memory_usage() const = 0;
  virtual uint64_t random_level() const = 0;
  virtual std::vector<uint64_t> levels_for_batch(uint64_t seed, uint64_t count) const = 0;
  virtual std::optional<uint64_t> flat_threshold() const = 0;
  virtual void set_flat_threshold(std::optional<uint64_t> threshold) = 0;
  virtual DistanceMetric metric() const = 0;
  virtual uint8_t index_type() const = 0;
  virtual bool set_storage_offset(NodeId id, uint64_t offset) = 0;
  virtual bool remove(NodeId id) = 0;
  virtual ZolvaResult<void> add(NodeId id, const FilterBitset& filter, VectorRepr vector,
                                uint64_t storage_offset) = 0;
  virtual ZolvaResult<void> add_at_level(NodeId id, const FilterBitset& filter,
                                         VectorRepr vector, uint64_t storage_offset,
                                         uint64_t level) = 0;

  // Raised by every change of a node's vector, filter or presence (insert,
  // in-place update, removal; not a storage-offset change): caches built
  // over the vectors compare it to notice that they are stale.
  virtual uint64_t mutation_count() const = 0;
};

}  // namespace zv
