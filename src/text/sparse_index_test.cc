#include "src/text/sparse_index.h"

#include <gtest/gtest.h>

#include <memory>

#include "src/backends/backend_kv_service.h"
#include "src/backends/in_memory_backend.h"

namespace zv::text {
namespace {

using namespace std::string_literals;

MemoryRecord record(std::string key, std::optional<SparseVector> sparse, NodeId id = 5) {
  MemoryRecord r;
  r.ns = "ns";
  r.key = std::move(key);
  r.node_id = id;
  r.sparse_vector = std::move(sparse);
  return r;
}

TEST(SparseIndex, KeysAndValues) {
  EXPECT_EQ(sparse_posting_key("ns", 1, "k"), "v1\0ns\0\x01\0\0\0\0k"s);
  EXPECT_EQ(sparse_posting_key("ns", 256, "k"), "v1\0ns\0\0\x01\0\0\0k"s);
  EXPECT_EQ(sparse_posting_key("ns", 1, "k").size(), 2u + 1u + 9u);
  EXPECT_EQ(sparse_posting_prefix("ns", 7), "v1\0ns\0\x07\0\0\0\0"s);
  EXPECT_EQ(encode_sparse_posting(5, 0.5f), "\x05\x00\x00\x00\x3F"s);
  auto p = decode_sparse_posting(encode_sparse_posting(~NodeId{0}, -1.25f));
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(*p, (SparsePosting{~NodeId{0}, -1.25f}));
  for (const std::string& bad : {""s, "\x05\x00\x00"s, std::string(19, '\xFF') + "\x00\x00\x00\x00"s}) {
    auto r = decode_sparse_posting(bad);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ZolvaErrorKind::kSerialization);
  }
}

TEST(SparseIndex, PutOpsInDimensionOrder) {
  MemoryRecord r = record("k", SparseVector{{3, 0.5f}, {1, 0.25f}});
  auto ops = sparse_posting_put_ops(r);
  ASSERT_TRUE(ops.ok());
  ASSERT_EQ(ops->size(), 2u);
  EXPECT_EQ((*ops)[0], BatchOp::put(Partition::kSparseIndex, sparse_posting_key("ns", 1, "k"),
                                    encode_sparse_posting(5, 0.25f)));
  EXPECT_EQ((*ops)[1], BatchOp::put(Partition::kSparseIndex, sparse_posting_key("ns", 3, "k"),
                                    encode_sparse_posting(5, 0.5f)));
  auto dels = sparse_posting_delete_ops(r);
  ASSERT_EQ(dels.size(), 2u);
  EXPECT_EQ(dels[0], BatchOp::del(Partition::kSparseIndex, sparse_posting_key("ns", 1, "k")));
  EXPECT_TRUE(sparse_posting_put_ops(record("k", std::nullopt))->empty());
  EXPECT_TRUE(sparse_posting_delete_ops(record("k", std::nullopt)).empty());
}

TEST(SparseIndex, StateMovesWithRecordChanges) {
  auto backend = std::make_shared<InMemoryBackend>();
  BackendKvService kv(backend, false);
  auto stored = [&] { return **SparseIndexState::read(*backend); };
  MemoryRecord two = record("k", SparseVector{{3, 0.5f}, {1, 0.25f}});
  MemoryRecord none = record("k", std::nullopt);
  MemoryRecord three = record("k", SparseVector{{1, 1}, {2, 1}, {3, 1}});

  ASSERT_TRUE(update_sparse_index_state(*backend, kv, nullptr, &two).ok());
  EXPECT_FALSE(SparseIndexState::read(*backend)->has_value());

  ASSERT_TRUE(SparseIndexState::write(kv, SparseIndexState::create(0, 0)).ok());
  ASSERT_TRUE(update_sparse_index_state(*backend, kv, nullptr, &two).ok());
  EXPECT_EQ(stored().record_count, 1u);
  EXPECT_EQ(stored().posting_entries, 2u);
  ASSERT_TRUE(update_sparse_index_state(*backend, kv, nullptr, &none).ok());
  EXPECT_EQ(stored().record_count, 2u);
  EXPECT_EQ(stored().posting_entries, 2u);
  ASSERT_TRUE(update_sparse_index_state(*backend, kv, &none, &three).ok());
  EXPECT_EQ(stored().record_count, 2u);
  EXPECT_EQ(stored().posting_entries, 5u);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(update_sparse_index_state(*backend, kv, &three, nullptr).ok());
  }
  EXPECT_EQ(stored().record_count, 0u);
  EXPECT_EQ(stored().posting_entries, 0u);

  SparseIndexState v2 = SparseIndexState::create(4, 4);
  v2.schema_version = 2;
  ASSERT_TRUE(SparseIndexState::write(kv, v2).ok());
  ASSERT_TRUE(update_sparse_index_state(*backend, kv, nullptr, &two).ok());
  EXPECT_EQ(stored(), v2);

  ASSERT_TRUE(backend->put(Partition::kInternalMetadata, "sparse_index_state", "\x01\x80"s).ok());
  auto bad = SparseIndexState::read(*backend);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind(), ZolvaErrorKind::kSerialization);
  EXPECT_FALSE(update_sparse_index_state(*backend, kv, nullptr, &two).ok());
}

}  // namespace
}  // namespace zv::text
