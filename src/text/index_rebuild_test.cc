#include "src/text/index_rebuild.h"

#include <gtest/gtest.h>

#include <memory>

#include "platform/clock.h"
#include "src/backends/backend_kv_service.h"
#include "src/backends/in_memory_backend.h"
#include "src/record/node_key.h"
#include "src/text/derived_index.h"
#include "src/text/sparse_index.h"

namespace zv::text {
namespace {

using namespace std::string_literals;

// Counts the batches that reach the backend.
class CountingKv final : public KvService {
 public:
  explicit CountingKv(std::shared_ptr<StorageBackend> b, bool read_only = false)
      : inner(std::move(b), read_only) {}
  ZolvaStatus kv_put(Partition p, std::string_view k, std::string_view v) override {
    return inner.kv_put(p, k, v);
  }
  ZolvaStatus kv_write_batch(std::vector<BatchOp> ops) override {
    ++batches;
    return inner.kv_write_batch(std::move(ops));
  }
  ZolvaResult<std::vector<KvPair>> scan_prefix(Partition p, std::string_view prefix) override {
    return inner.scan_prefix(p, prefix);
  }
  BackendKvService inner;
  int batches = 0;
};

EngineNode node(std::string key, FieldMap metadata, std::optional<SparseVector> sparse = {},
                std::optional<uint64_t> expires = {}) {
  MemoryRecord r;
  r.ns = "n";
  r.key = std::move(key);
  r.node_id = record_node_id(r.ns, r.key);
  r.payload = "text";
  r.metadata = std::move(metadata);
  r.sparse_vector = std::move(sparse);
  r.expires_at_ms = expires;
  return r.into_node();
}

class IndexRebuildTest : public ::testing::Test {
 protected:
  std::shared_ptr<InMemoryBackend> backend = std::make_shared<InMemoryBackend>();
  CountingKv kv{backend};
  std::vector<std::string> keys(Partition p) {
    std::vector<std::string> out;
    auto pairs = backend->scan_all(p);
    for (auto& kv : *pairs) out.push_back(kv.key);
    return out;
  }
};

TEST_F(IndexRebuildTest, EmptyDatabaseWritesOnlyZeroStates) {
  auto d = rebuild_derived_index_from_nodes(*backend, kv, {}, monotonic_ns());
  auto s = rebuild_sparse_index_from_nodes(*backend, kv, {}, monotonic_ns());
  ASSERT_TRUE(d.ok() && s.ok());
  EXPECT_EQ(kv.batches, 0);
  auto ds = **DerivedIndexState::read(*backend);
  EXPECT_EQ(ds.record_count + ds.namespace_entries + ds.payload_entries, 0u);
  EXPECT_EQ(ds.schema_version, 1u);
  auto ss = **SparseIndexState::read(*backend);
  EXPECT_EQ(ss.record_count + ss.posting_entries, 0u);
}

TEST_F(IndexRebuildTest, RebuildReplacesStaleEntriesAndSkipsExpired) {
  // Stale entries of records that no longer exist.
  ASSERT_TRUE(backend->put(Partition::kNamespaceIndex, "n\0gone"s, node_key(1)).ok());
  ASSERT_TRUE(backend->put(Partition::kPayloadIndex, "n\0f\0s:x\0gone"s, node_key(1)).ok());
  ASSERT_TRUE(backend->put(Partition::kSparseIndex, sparse_posting_key("n", 9, "gone"), "x").ok());
  CounterCell rebuild_ms, skipped;
  const std::vector<EngineNode> nodes = {
      node("a", {{"tags", FieldValue::list_string({"x", "y", "x"})}, {"e", FieldValue::list_int({})}},
           SparseVector{{3, 0.5f}, {1, 0.25f}}),
      node("b", {{"big", FieldValue::string(std::string(70000, 'z'))}}),
      node("old", {{"f", FieldValue::integer(1)}}, SparseVector{{1, 1.0f}}, /*expires=*/1),
  };
  auto d = rebuild_derived_index_from_nodes(*backend, kv, nodes, monotonic_ns(),
                                            {&rebuild_ms, &skipped});
  ASSERT_TRUE(d.ok());
  EXPECT_EQ(d->record_count, 2u);
  EXPECT_EQ(d->namespace_entries, 2u);
  EXPECT_EQ(d->payload_entries, 2u);  // x and y; the over-long entry is skipped
  EXPECT_EQ(skipped.read(), 1u);
  EXPECT_EQ(keys(Partition::kNamespaceIndex), (std::vector<std::string>{"n\0a"s, "n\0b"s}));
  EXPECT_EQ(keys(Partition::kPayloadIndex),
            (std::vector<std::string>{"n\0tags\0s:x\0a"s, "n\0tags\0s:y\0a"s}));
  // The state agrees with what is stored.
  auto ds = **DerivedIndexState::read(*backend);
  EXPECT_EQ(ds.payload_entries, keys(Partition::kPayloadIndex).size());
  EXPECT_EQ(ds.namespace_entries, keys(Partition::kNamespaceIndex).size());

  auto s = rebuild_sparse_index_from_nodes(*backend, kv, nodes, monotonic_ns());
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(s->record_count, 2u);
  EXPECT_EQ(s->posting_entries, 2u);
  EXPECT_EQ(keys(Partition::kSparseIndex),
            (std::vector<std::string>{sparse_posting_key("n", 1, "a"), sparse_posting_key("n", 3, "a")}));
  EXPECT_EQ(kv.batches, 2);
}

TEST_F(IndexRebuildTest, ReadOnlyRefusalWritesNothing) {
  ASSERT_TRUE(backend->put(Partition::kNamespaceIndex, "n\0gone"s, node_key(1)).ok());
  CountingKv read_only(backend, true);
  auto d = rebuild_derived_index_from_nodes(*backend, read_only, {node("a", {})}, monotonic_ns());
  ASSERT_FALSE(d.ok());
  EXPECT_EQ(keys(Partition::kNamespaceIndex), (std::vector<std::string>{"n\0gone"s}));
  EXPECT_FALSE(DerivedIndexState::read(*backend)->has_value());
}

}  // namespace
}  // namespace zv::text
