// A vector index for the search tests that forwards every operation to a
// real index and records the searches it was asked for (the method, the
// count, the width and the filter's word count), and can report another size
// than it holds, so that a test can place a selectivity estimate in any band.
// Test-only; thread-safe (the log has its own mutex).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "src/index/vector_index_port.h"

namespace zv::search_testing {

struct IndexCall {
  enum Kind { kByMethod, kNearestWithMetric } kind = kByMethod;
  uint8_t method = 0;  // kByMethod only
  uint64_t top_k = 0;
  DistanceMetric metric = DistanceMetric::kCosine;
  size_t filter_words = 0;
};

class RecordingIndex final : public VectorIndexPort {
 public:
  explicit RecordingIndex(std::shared_ptr<VectorIndexPort> inner) : inner_(std::move(inner)) {}

  std::vector<IndexCall> calls() const {
    std::lock_guard lock(mu_);
    return calls_;
  }
  void clear_calls() {
    std::lock_guard lock(mu_);
    calls_.clear();
  }
  // The size len() reports; none reports the real one.
  void set_reported_len(std::optional<uint64_t> n) { reported_len_ = n; }

  ZolvaResult<NearestResult> search_by_method(uint8_t method, std::span<const float> query,
                                              const FilterBitset& query_mask, uint64_t top_k,
                                              DistanceMetric metric) const override {
    note({IndexCall::kByMethod, method, top_k, metric, query_mask.words().size()});
    return inner_->search_by_method(method, query, query_mask, top_k, metric);
  }
  NearestResult search_nearest_with_metric(std::span<const float> query,
                                           const FilterBitset& query_mask, uint64_t top_k,
                                           const DiskNodeReader* reader,
                                           DistanceMetric metric) const override {
    note({IndexCall::kNearestWithMetric, 0, top_k, metric, query_mask.words().size()});
    return inner_->search_nearest_with_metric(query, query_mask, top_k, reader, metric);
  }
  uint64_t len() const override { return reported_len_ ? *reported_len_ : inner_->len(); }

  std::optional<std::string> backing_path() const override { return inner_->backing_path(); }
  std::optional<uint64_t> mmap_resident_bytes() const override { return inner_->mmap_resident_bytes(); }
  IoStatus sync_mmap() override { return inner_->sync_mmap(); }
  std::unique_ptr<VectorIndexPort> empty_like(const std::string& path) const override { return inner_->empty_like(path); }
  IoStatus persist(const std::string& path) const override { return inner_->persist(path); }
  IoResult<std::unique_ptr<VectorIndexPort>> persist_and_remap( const std::string& path) const override { return inner_->persist_and_remap(path); }
  NearestResult search_nearest(std::span<const float> query, std::optional<std::span<const uint64_t>> q_1bit, std::optional<alternate::TurboQuery> q_3bit, const FilterBitset& query_mask, uint64_t top_k, const DiskNodeReader* reader) const override { return inner_->search_nearest(query, q_1bit, q_3bit, query_mask, top_k, reader); }
  MaterializeReport materialize_layers() override { return inner_->materialize_layers(); }
  std::optional<uint64_t> storage_offset(NodeId id) const override { return inner_->storage_offset(id); }
  std::optional<VectorRepr> vector(NodeId id) const override { return inner_->vector(id); }
  std::optional<std::pair<uint64_t, VectorRepr>> vector_and_offset(NodeId id) const override { return inner_->vector_and_offset(id); }
  std::optional<bool> is_sq8(NodeId id) const override { return inner_->is_sq8(id); }
  bool contains(NodeId id) const override { return inner_->contains(id); }
  bool is_empty() const override { return inner_->is_empty(); }
  uint64_t node_count() const override { return inner_->node_count(); }
  void sub_node_count(uint64_t n) override { return inner_->sub_node_count(n); }
  std::optional<NodeId> entry_point() const override { return inner_->entry_point(); }
  void set_entry_point(NodeId id) override { return inner_->set_entry_point(id); }
  std::optional<NodeId> top_level_node() const override { return inner_->top_level_node(); }
  uint64_t max_level() const override { return inner_->max_level(); }
  std::vector<NodeId> node_ids() const override { return inner_->node_ids(); }
  std::vector<NodeId> neighbors(NodeId id, uint64_t layer) const override { return inner_->neighbors(id, layer); }
  std::vector<NodeId> node_layer_neighbors(NodeId id, uint64_t layer) const override { return inner_->node_layer_neighbors(id, layer); }
  std::vector<NodeSummary> node_summaries() const override { return inner_->node_summaries(); }
  std::optional<std::vector<std::string>> integrity_violations() const override { return inner_->integrity_violations(); }
  uint64_t node_level(NodeId id) const override { return inner_->node_level(id); }
  uint64_t memory_usage() const override { return inner_->memory_usage(); }
  uint64_t random_level() const override { return inner_->random_level(); }
  std::vector<uint64_t> levels_for_batch(uint64_t seed, uint64_t count) const override { return inner_->levels_for_batch(seed, count); }
  std::optional<uint64_t> flat_threshold() const override { return inner_->flat_threshold(); }
  void set_flat_threshold(std::optional<uint64_t> threshold) override { return inner_->set_flat_threshold(threshold); }
  DistanceMetric metric() const override { return inner_->metric(); }
  uint8_t index_type() const override { return inner_->index_type(); }
  bool set_storage_offset(NodeId id, uint64_t offset) override { return inner_->set_storage_offset(id, offset); }
  bool remove(NodeId id) override { return inner_->remove(id); }
  ZolvaResult<void> add(NodeId id, const FilterBitset& filter, VectorRepr vector, uint64_t storage_offset) override { return inner_->add(id, filter, std::move(vector), storage_offset); }
  ZolvaResult<void> add_at_level(NodeId id, const FilterBitset& filter, VectorRepr vector, uint64_t storage_offset, uint64_t level) override { return inner_->add_at_level(id, filter, std::move(vector), storage_offset, level); }
  uint64_t mutation_count() const override { return inner_->mutation_count(); }  bool is_mmap_backed() const override { return inner_->is_mmap_backed(); }

 private:
  void note(IndexCall call) const {
    std::lock_guard lock(mu_);
    calls_.push_back(call);
  }

  std::shared_ptr<VectorIndexPort> inner_;
  std::optional<uint64_t> reported_len_;
  mutable std::mutex mu_;
  mutable std::vector<IndexCall> calls_;
};

}  // namespace zv::search_testing
