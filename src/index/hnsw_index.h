// The dense-vector index of an open database: a hierarchical navigable
// small-world graph over node vectors keyed by 128-bit node ids, with its
// configuration, entry point, level generator and the exact flat scan; the
// implementation of VectorIndexPort. Inserts and searches run on many threads
// at once: node records and lists are guarded per node (NodeTable), the entry
// point, max_level and the counters are atomics, and the level generator and
// the top-of-graph update each take their own mutex.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "src/index/index_backing.h"
#include "src/index/level_generator.h"
#include "src/index/node_table.h"
#include "src/index/vector_index_port.h"
#include "src/index/visited_set.h"

namespace zv {

class IvfIndex;
class ScannIndex;

// The message of a refused zero vector under the cosine metric.
inline constexpr const char* kZeroNormNodeMessage =
    "cannot index node {}: zero-norm vector is undefined under cosine similarity";

// A node's filter bits must fit the index file (at most FilterBitset::kMaxWords
// words), or the next load would throw the whole file away: a larger one is
// refused with a Validation error on "filter".
inline constexpr const char* kFilterField = "filter";
inline constexpr const char* kFilterTooLargeMessage =
    "filter bitset of {} words exceeds the maximum of {} words";
ZolvaResult<void> check_filter_size(const FilterBitset& filter);

// A configuration or level beyond the limits of hnsw_config.h would be
// written to a file that the next load discards: refused with a Validation
// error naming the field.
inline constexpr const char* kLevelField = "level";
inline constexpr const char* kConfigLimitMessage = "{} exceeds the maximum of {}";
ZolvaResult<void> check_config(const HnswConfig& config);
ZolvaResult<void> check_level(uint64_t level);

// The query as the layer search uses it.
struct LayerQuery {
  F32View q;
  bool has_norm = false;
  float norm = 0.0f;       // |q|
  bool cosine = false;     // inv_norm valid, cosine fast path allowed
  float inv_norm = 0.0f;   // 1/|q|

  // The parameters a query of `metric` gets (norm of an empty query is 0).
  static LayerQuery for_metric(F32View q, DistanceMetric metric);
};

class HnswIndex final : public VectorIndexPort {
 public:
  // Trusts the configuration (a file reader checks it itself); callers with
  // a configuration from outside use create().
  HnswIndex(HnswConfig config, IndexBacking backing);
  static ZolvaResult<std::unique_ptr<HnswIndex>> create(HnswConfig config, IndexBacking backing);
  ~HnswIndex() override;

  // The configuration with the current flat threshold.
  HnswConfig config() const {
    HnswConfig c = config_;
    c.flat_threshold = flat_threshold();
    return c;
  }
  const IndexBacking& backing() const { return backing_; }

  // --- VectorIndexPort ---
  bool is_mmap_backed() const override { return backing_.is_file_backed(); }
  std::optional<std::string> backing_path() const override { return backing_.path(); }
  std::optional<uint64_t> mmap_resident_bytes() const override {
    return backing_.mmap_resident_bytes();
  }
  IoStatus sync_mmap() override;
  std::unique_ptr<VectorIndexPort> empty_like(const std::string& path) const override;
  IoStatus persist(const std::string& path) const override;
  IoResult<std::unique_ptr<VectorIndexPort>> persist_and_remap(
      const std::string& path) const override;

  NearestResult search_nearest(std::span<const float> query,
                               std::optional<std::span<const uint64_t>> q_1bit,
                               std::optional<alternate::TurboQuery> q_3bit,
                               const FilterBitset& query_mask, uint64_t top_k,
                               const DiskNodeReader* reader) const override;
  ZolvaResult<NearestResult> search_by_method(uint8_t method, std::span<const float> query,
                                              const FilterBitset& query_mask, uint64_t top_k,
                                              DistanceMetric metric) const override;
  NearestResult search_nearest_with_metric(std::span<const float> query,
                                           const FilterBitset& query_mask, uint64_t top_k,
                                           const DiskNodeReader* reader,
                                           DistanceMetric metric) const override;

  MaterializeReport materialize_layers() override;
  std::optional<uint64_t> storage_offset(NodeId id) const override;
  std::optional<VectorRepr> vector(NodeId id) const override;
  std::optional<std::pair<uint64_t, VectorRepr>> vector_and_offset(NodeId id) const override;
  std::optional<bool> is_sq8(NodeId id) const override;
  bool contains(NodeId id) const override;
  uint64_t len() const override { return records_.load(std::memory_order_acquire); }
  bool is_empty() const override { return len() == 0; }
  uint64_t node_count() const override { return node_count_.load(std::memory_order_acquire); }
  void sub_node_count(uint64_t n) override { node_count_.fetch_sub(n, std::memory_order_acq_rel); }
  std::optional<NodeId> entry_point() const override;
  void set_entry_point(NodeId id) override;
  std::optional<NodeId> top_level_node() const override;
  uint64_t max_level() const override { return max_level_.load(std::memory_order_acquire); }
  std::vector<NodeId> node_ids() const override;
  std::vector<NodeId> neighbors(NodeId id, uint64_t layer) const override;
  std::vector<NodeId> node_layer_neighbors(NodeId id, uint64_t layer) const override;
  std::vector<NodeSummary> node_summaries() const override;
  std::optional<std::vector<std::string>> integrity_violations() const override;
  uint64_t node_level(NodeId id) const override;
  uint64_t memory_usage() const override;
  uint64_t random_level() const override;
  std::vector<uint64_t> levels_for_batch(uint64_t seed, uint64_t count) const override;
  std::optional<uint64_t> flat_threshold() const override {
    const uint64_t t = flat_threshold_.load(std::memory_order_acquire);
    if (t == kNoFlatThreshold) return std::nullopt;
    return t;
  }
  // Safe beside searches. 2^64-1 is the "unset" sentinel, so a threshold of
  // 2^64-1 is kept as 2^64-2: no node count reaches either.
  void set_flat_threshold(std::optional<uint64_t> threshold) override {
    flat_threshold_.store(encode_flat_threshold(threshold), std::memory_order_release);
  }
  DistanceMetric metric() const override { return config_.metric; }
  uint8_t index_type() const override { return config_.index_type; }
  bool set_storage_offset(NodeId id, uint64_t offset) override;
  bool remove(NodeId id) override;
  ZolvaResult<void> add(NodeId id, const FilterBitset& filter, VectorRepr vector,
                        uint64_t storage_offset) override;
  ZolvaResult<void> add_at_level(NodeId id, const FilterBitset& filter, VectorRepr vector,
                                 uint64_t storage_offset, uint64_t level) override;
  uint64_t mutation_count() const override { return mutations_.load(std::memory_order_acquire); }

  // --- Parts of insertion and search, reachable for callers that need them ---

  // Refreshes an existing node's record (filter bits, vector, offset, norms)
  // or stores a vector-less node without links; true when that finished the
  // insertion.
  bool update_in_place(NodeId id, const FilterBitset& filter, const VectorRepr& vector,
                       uint64_t storage_offset);
  // Appends `id` to the list on `layer` of each node of `list`, pruning a
  // list that grows beyond `limit`.
  void add_reverse_links(NodeId id, std::span<const NodeId> list, uint64_t layer,
                         uint64_t limit);
  // Writes `list` as the layer-map list of (id, layer), keeping the
  // reverse-link counts.
  void store_layer_list(NodeId id, uint64_t layer, std::span<const NodeId> list);
  // One best-first search of one layer; the result heap's entries, unsorted.
  std::vector<ScoredCandidate> search_layer(const LayerQuery& query,
                                            std::span<const NodeId> entry, uint64_t ef,
                                            uint64_t layer, const FilterBitset& filter,
                                            bool two_hop, const DiskNodeReader* reader,
                                            DistanceMetric metric, VisitedSet& visited) const;
  // The exact scan of every node: up to top_k pairs, best first; Euclidean
  // scores are negated squared distances.
  NearestResult flat_search(std::span<const float> query, const FilterBitset& filter,
                            uint64_t top_k, DistanceMetric metric) const;
  // The reverse-link count of an id (0 when it has none).
  uint32_t reverse_link_count(NodeId id) const;
  // Ids in the order the index file lists its nodes: breadth-first from the
  // entry point, then every unreached node in ascending id order.
  std::vector<NodeId> bfs_order() const;

 private:
  friend class FlatScan;
  friend class IndexFileCodec;  // reads and assembles the node table directly

  // A lazily built alternative index and the mutation count it was built at.
  template <class T>
  struct CacheSlot {
    std::unique_ptr<T> index;
    uint64_t built_at = 0;
  };
  struct Cand {
    float score;
    uint32_t slot;
  };

  ZolvaResult<void> insert(NodeId id, const FilterBitset& filter, VectorRepr vector,
                           uint64_t storage_offset, std::optional<uint64_t> level);
  void store_record(uint32_t slot, HnswNode record);
  void store_unlinked(uint32_t slot, const FilterBitset& filter, VectorRepr vector,
                      uint64_t storage_offset);
  void reset_links(uint32_t slot, uint64_t level);
  void store_list_slots(uint32_t slot, uint64_t layer, const SlotList& list);
  void write_list_locked(NodeSlot& slot, uint64_t layer, const SlotList& list);
  void raise_top(uint32_t slot, uint64_t level);
  // Keeps the running count of the heap bytes records and lists hold.
  void account(int64_t delta) const {
    if (delta != 0) heap_bytes_.fetch_add(delta, std::memory_order_relaxed);
  }
  SlotList select_neighbors(F32View base, std::span<const Cand> sorted, uint64_t limit,
                            bool extend_by_reverse_count, uint64_t layer) const;
  void prune(uint32_t y, uint64_t layer, uint64_t limit);
  void link_reverse(uint32_t x, const SlotList& list, uint64_t layer, uint64_t limit);

  std::vector<Cand> search_layer_slots(const LayerQuery& query, std::span<const uint32_t> entry,
                                       uint64_t ef, uint64_t layer, const FilterBitset& filter,
                                       bool two_hop, const DiskNodeReader* reader,
                                       DistanceMetric metric, VisitedSet& visited) const;
  NearestResult graph_search(std::span<const float> query, const FilterBitset& query_mask,
                             uint64_t top_k, const DiskNodeReader* reader,
                             DistanceMetric metric) const;
  NearestResult alternate_cache_search(IndexKind kind, std::span<const float> query,
                                       const FilterBitset& query_mask, uint64_t top_k) const;
  NearestResult ivf_cache_search(std::span<const float> query, const FilterBitset& query_mask,
                                 uint64_t top_k) const;
  NearestResult scann_cache_search(std::span<const float> query,
                                   const FilterBitset& query_mask, uint64_t top_k) const;
  // Drops ids that the index no longer holds (removed after a cache build).
  void drop_missing(NearestResult& result) const;
  bool better_cand(const Cand& a, const Cand& b) const {
    if (score_before(a.score, b.score)) return true;
    if (score_before(b.score, a.score)) return false;
    return table_.id_of(a.slot) < table_.id_of(b.slot);
  }
  std::optional<uint32_t> slot_with_record(NodeId id) const;

  static constexpr uint64_t kNoFlatThreshold = ~uint64_t{0};
  static uint64_t encode_flat_threshold(std::optional<uint64_t> t) {
    if (!t) return kNoFlatThreshold;
    return std::min(*t, kNoFlatThreshold - 1);
  }

  // config_.flat_threshold is read only at construction: the live value is
  // flat_threshold_, which set_flat_threshold may change beside searches.
  HnswConfig config_;
  std::atomic<uint64_t> flat_threshold_;
  IndexBacking backing_;
  NodeTable table_;
  LevelGenerator level_gen_;

  std::atomic<uint32_t> entry_slot_{kNoSlot};  // the entry point's slot
  std::atomic<uint64_t> max_level_{0};
  std::atomic<uint64_t> node_count_{0};
  std::atomic<uint64_t> records_{0};    // node-map entries
  std::atomic<uint64_t> mutations_{0};
  std::atomic<uint64_t> offset_changes_{0};  // set_storage_offset calls
  // Heap bytes held by node records and neighbour lists, kept as each one
  // changes, so that memory_usage() costs the same at any size.
  mutable std::atomic<int64_t> heap_bytes_{0};
  // The last nodes inserted. Each insertion search on layer 0 starts from
  // them as well as from the descent's result: nodes inserted together tend
  // to lie together, and a region the graph has barely linked yet (the first
  // few points of a new cluster) is otherwise found only by chance.
  static constexpr size_t kRecent = 8;
  std::array<std::atomic<uint32_t>, kRecent> recent_ = make_recent();
  std::atomic<uint64_t> recent_next_{0};
  static std::array<std::atomic<uint32_t>, kRecent> make_recent() {
    return {kNoSlot, kNoSlot, kNoSlot, kNoSlot, kNoSlot, kNoSlot, kNoSlot, kNoSlot};
  }
  // Serialises raising max_level with moving the entry point, so that the
  // entry point is always a node of the highest level drawn.
  std::mutex top_mu_;
  // One cache search of each alternative kind runs at a time; each mutex
  // guards its slot from the staleness test through rebuild and search.
  mutable std::mutex ivf_mu_;
  mutable CacheSlot<IvfIndex> ivf_;  // guarded by ivf_mu_
  mutable std::mutex scann_mu_;
  mutable CacheSlot<ScannIndex> scann_;  // guarded by scann_mu_
};

}  // namespace zv
