// A VectorIndexPort over an HnswIndex whose adds can be made to fail: the
// next n adds return a Generic error without touching the index. Everything
// else is forwarded. Test-only; the switch is atomic.
#pragma once

#include <atomic>
#include <memory>

#include "src/index/hnsw_index.h"

namespace zv::testing {

class FaultIndex final : public VectorIndexPort {
 public:
  FaultIndex() : in(std::make_shared<HnswIndex>(HnswConfig{}, IndexBacking::in_memory())) {}
  explicit FaultIndex(std::shared_ptr<VectorIndexPort> inner) : in(std::move(inner)) {}
  std::atomic<int> fail_adds{0};
  // Armed as fail_adds of each index that empty_like hands out.
  std::atomic<int> fail_adds_of_copies{0};
  std::shared_ptr<VectorIndexPort> in;

  bool is_mmap_backed() const override { return in->is_mmap_backed(); }
  std::optional<std::string> backing_path() const override { return in->backing_path(); }
  std::optional<uint64_t> mmap_resident_bytes() const override { return in->mmap_resident_bytes(); }
  IoStatus sync_mmap() override { return in->sync_mmap(); }
  std::unique_ptr<VectorIndexPort> empty_like(const std::string& p) const override {
    auto copy = std::make_unique<FaultIndex>(std::shared_ptr<VectorIndexPort>(in->empty_like(p)));
    copy->fail_adds = fail_adds_of_copies.load();
    return copy;
  }
  IoStatus persist(const std::string& p) const override { return in->persist(p); }
  IoResult<std::unique_ptr<VectorIndexPort>> persist_and_remap(const std::string& p) const override {
    return in->persist_and_remap(p);
  }
  NearestResult search_nearest(std::span<const float> q, std::optional<std::span<const uint64_t>> b,
                               std::optional<alternate::TurboQuery> t, const FilterBitset& m,
                               uint64_t k, const DiskNodeReader* r) const override {
    return in->search_nearest(q, b, t, m, k, r);
  }
  ZolvaResult<NearestResult> search_by_method(uint8_t method, std::span<const float> q,
                                              const FilterBitset& m, uint64_t k,
                                              DistanceMetric metric) const override {
    return in->search_by_method(method, q, m, k, metric);
  }
  NearestResult search_nearest_with_metric(std::span<const float> q, const FilterBitset& m, uint64_t k,
                                           const DiskNodeReader* r, DistanceMetric metric) const override {
    return in->search_nearest_with_metric(q, m, k, r, metric);
  }
  MaterializeReport materialize_layers() override { return in->materialize_layers(); }
  std::optional<uint64_t> storage_offset(NodeId id) const override { return in->storage_offset(id); }
  std::optional<VectorRepr> vector(NodeId id) const override { return in->vector(id); }
  std::optional<std::pair<uint64_t, VectorRepr>> vector_and_offset(NodeId id) const override {
    return in->vector_and_offset(id);
  }
  std::optional<bool> is_sq8(NodeId id) const override { return in->is_sq8(id); }
  bool contains(NodeId id) const override { return in->contains(id); }
  uint64_t len() const override { return in->len(); }
  bool is_empty() const override { return in->is_empty(); }
  uint64_t node_count() const override { return in->node_count(); }
  void sub_node_count(uint64_t n) override { in->sub_node_count(n); }
  std::optional<NodeId> entry_point() const override { return in->entry_point(); }
  void set_entry_point(NodeId id) override { in->set_entry_point(id); }
  std::optional<NodeId> top_level_node() const override { return in->top_level_node(); }
  uint64_t max_level() const override { return in->max_level(); }
  std::vector<NodeId> node_ids() const override { return in->node_ids(); }
  std::vector<NodeId> neighbors(NodeId id, uint64_t l) const override { return in->neighbors(id, l); }
  std::vector<NodeId> node_layer_neighbors(NodeId id, uint64_t l) const override {
    return in->node_layer_neighbors(id, l);
  }
  std::vector<NodeSummary> node_summaries() const override { return in->node_summaries(); }
  std::optional<std::vector<std::string>> integrity_violations() const override {
    return in->integrity_violations();
  }
  uint64_t node_level(NodeId id) const override { return in->node_level(id); }
  uint64_t memory_usage() const override { return in->memory_usage(); }
  uint64_t random_level() const override { return in->random_level(); }
  std::vector<uint64_t> levels_for_batch(uint64_t seed, uint64_t n) const override {
    return in->levels_for_batch(seed, n);
  }
  std::optional<uint64_t> flat_threshold() const override { return in->flat_threshold(); }
  void set_flat_threshold(std::optional<uint64_t> t) override { in->set_flat_threshold(t); }
  DistanceMetric metric() const override { return in->metric(); }
  uint8_t index_type() const override { return in->index_type(); }
  bool set_storage_offset(NodeId id, uint64_t o) override { return in->set_storage_offset(id, o); }
  bool remove(NodeId id) override { return in->remove(id); }
  ZolvaResult<void> add(NodeId id, const FilterBitset& f, VectorRepr v, uint64_t o) override {
    if (take()) return make_unexpected(ZolvaError::generic("injected index failure"));
    return in->add(id, f, std::move(v), o);
  }
  ZolvaResult<void> add_at_level(NodeId id, const FilterBitset& f, VectorRepr v, uint64_t o,
                                 uint64_t level) override {
    if (take()) return make_unexpected(ZolvaError::generic("injected index failure"));
    return in->add_at_level(id, f, std::move(v), o, level);
  }
  uint64_t mutation_count() const override { return in->mutation_count(); }

 private:
  bool take() {
    int v = fail_adds.load();
    while (v > 0)
      if (fail_adds.compare_exchange_weak(v, v - 1)) return true;
    return false;
  }
};

}  // namespace zv::testing
