#include "src/text/record_change.h"

#include <gtest/gtest.h>

#include "src/backends/backend_kv_service.h"
#include "src/backends/in_memory_backend.h"
#include "src/record/node_key.h"
#include "src/runtime/operational_counters.h"
#include "src/text/derived_index.h"
#include "src/text/sparse_index.h"
#include "src/text/text_codecs.h"
#include "src/text/text_index_state.h"
#include "src/text/text_keys.h"
#include "src/text/text_rebuild.h"

namespace zv::text {
namespace {

using namespace std::string_literals;

// Keeps the last batch that reached the backend.
class RecordingKv final : public KvService {
 public:
  RecordingKv(std::shared_ptr<StorageBackend> b, bool read_only) : inner(std::move(b), read_only) {}
  ZolvaStatus kv_put(Partition p, std::string_view k, std::string_view v) override {
    return inner.kv_put(p, k, v);
  }
  ZolvaStatus kv_write_batch(std::vector<BatchOp> ops) override {
    last_batch = ops;
    ++batches;
    return inner.kv_write_batch(std::move(ops));
  }
  ZolvaResult<std::vector<KvPair>> scan_prefix(Partition p, std::string_view prefix) override {
    return inner.scan_prefix(p, prefix);
  }
  BackendKvService inner;
  std::vector<BatchOp> last_batch;
  int batches = 0;
};

MemoryRecord rec(std::string key, std::string payload, FieldMap metadata = {},
                 std::optional<SparseVector> sparse = {}, std::string ns = "ns") {
  MemoryRecord r;
  r.ns = std::move(ns);
  r.key = std::move(key);
  r.node_id = record_node_id(r.ns, r.key);
  r.payload = std::move(payload);
  r.metadata = std::move(metadata);
  r.sparse_vector = std::move(sparse);
  return r;
}

class RecordChangeTest : public ::testing::Test {
 protected:
  explicit RecordChangeTest(bool read_only = false) : kv(backend, read_only) {}
  void SetUp() override {
    ASSERT_TRUE(TextIndexState::write(kv.inner, TextIndexState::create(0, 0, 0, 0, 0)).ok());
    ASSERT_TRUE(DerivedIndexState::write(kv.inner, DerivedIndexState::create(0, 0, 0)).ok());
    ASSERT_TRUE(SparseIndexState::write(kv.inner, SparseIndexState::create(0, 0)).ok());
  }
  ZolvaStatus change(const MemoryRecord* o, const MemoryRecord* n) {
    return apply_record_change(TextIndexTarget{*backend, kv, caches, locks}, o, n);
  }
  std::optional<uint64_t> df(std::string_view token, std::string_view ns = "ns") {
    auto v = backend->get(Partition::kTextIndex, term_stats_key(ns, token));
    if (!v->has_value()) return std::nullopt;
    return decode_term_stats(**v)->df;
  }
  std::optional<TextNamespaceStats> ns_stats(std::string_view ns = "ns") {
    auto v = backend->get(Partition::kTextIndex, namespace_stats_key(ns));
    if (!v->has_value()) return std::nullopt;
    return *decode_namespace_stats(**v);
  }
  TextIndexState text_state() { return **TextIndexState::read(*backend); }
  std::vector<KvPair> text_pairs() { return *backend->scan_all(Partition::kTextIndex); }

  std::shared_ptr<InMemoryBackend> backend = std::make_shared<InMemoryBackend>();
  RecordingKv kv;
  TextStatsCaches caches;
  IndexLocks locks;
};

TEST_F(RecordChangeTest, InsertWritesTheBatchInOrderAndMovesTheStates) {
  OperationalCounters& c = OperationalCounters::global();
  const uint64_t written = c.text_postings_written.read();
  const MemoryRecord r = rec("k", "a b a", {{"score", FieldValue::integer(2)}}, SparseVector{{3, 0.5f}, {1, 0.25f}});
  ASSERT_TRUE(change(nullptr, &r).ok());
  const std::string id = node_key(r.node_id);
  const std::vector<BatchOp> want = {
      BatchOp::put(Partition::kNamespaceIndex, "ns\0k"s, id),
      BatchOp::put(Partition::kPayloadIndex, "ns\0score\0i:2\0k"s, id),
      BatchOp::put(Partition::kTextIndex, posting_key("ns", "a", "k"), encode_text_posting(r.node_id, 2, {0, 2})),
      BatchOp::put(Partition::kTextIndex, posting_key("ns", "b", "k"), encode_text_posting(r.node_id, 1, {1})),
      BatchOp::put(Partition::kTextIndex, doc_stats_key("ns", "k"), encode_doc_stats(r.node_id, 3)),
      BatchOp::put(Partition::kTextIndex, term_stats_key("ns", "a"), encode_term_stats(1)),
      BatchOp::put(Partition::kTextIndex, term_stats_key("ns", "b"), encode_term_stats(1)),
      BatchOp::put(Partition::kTextIndex, namespace_stats_key("ns"), encode_namespace_stats(1, 3)),
      BatchOp::put(Partition::kSparseIndex, sparse_posting_key("ns", 1, "k"), encode_sparse_posting(r.node_id, 0.25f)),
      BatchOp::put(Partition::kSparseIndex, sparse_posting_key("ns", 3, "k"), encode_sparse_posting(r.node_id, 0.5f)),
  };
  EXPECT_EQ(kv.last_batch, want);
  const TextIndexState t = text_state();
  EXPECT_EQ(std::vector<uint64_t>({t.record_count, t.posting_entries, t.doc_stats_entries,
                                   t.term_stats_entries, t.namespace_stats_entries}),
            std::vector<uint64_t>({1, 2, 1, 2, 1}));
  EXPECT_EQ(c.text_postings_written.read(), written + 2);
  auto d = **DerivedIndexState::read(*backend);
  EXPECT_EQ(std::vector<uint64_t>({d.record_count, d.namespace_entries, d.payload_entries}),
            std::vector<uint64_t>({1, 1, 1}));
  auto s = **SparseIndexState::read(*backend);
  EXPECT_EQ(s.record_count, 1u);
  EXPECT_EQ(s.posting_entries, 2u);
  // The sparse value of node 5, weight 0.5.
  EXPECT_EQ(encode_sparse_posting(5, 0.5f), "\x05\x00\x00\x00\x3F"s);
}

TEST_F(RecordChangeTest, UpdatesMoveOnlyWhatChanged) {
  const MemoryRecord ab = rec("k", "a b", {{"tags", FieldValue::list_string({"x", "y", "x"})}}, SparseVector{{1, 1.0f}});
  ASSERT_TRUE(change(nullptr, &ab).ok());
  const std::vector<KvPair> before = text_pairs();
  const TextIndexState state_before = text_state();
  // The same record again: every entry and count as before.
  ASSERT_TRUE(change(&ab, &ab).ok());
  EXPECT_EQ(text_pairs(), before);
  EXPECT_EQ(text_state(), state_before);
  // "a b" -> "a a b": no df moves, total length +1, count kept.
  const MemoryRecord aab = rec("k", "a a b");
  ASSERT_TRUE(change(&ab, &aab).ok());
  EXPECT_EQ(df("a"), 1u);
  EXPECT_EQ(df("b"), 1u);
  EXPECT_EQ(ns_stats(), (TextNamespaceStats{1, 3}));
  // The dropped sparse vector leaves no posting; the derived state moved by
  // P(old) = 2 distinct payload keys down and P(new) = 0 up.
  EXPECT_TRUE(backend->scan_all(Partition::kSparseIndex)->empty());
  EXPECT_EQ((**SparseIndexState::read(*backend)).posting_entries, 0u);
  EXPECT_EQ((**DerivedIndexState::read(*backend)).payload_entries, 0u);
  EXPECT_TRUE(backend->scan_all(Partition::kPayloadIndex)->empty());
}

TEST_F(RecordChangeTest, DeletingTheLastRecordRemovesItsStatistics) {
  const MemoryRecord a = rec("a", "x y");
  const MemoryRecord b = rec("b", "y z");
  ASSERT_TRUE(change(nullptr, &a).ok());
  ASSERT_TRUE(change(nullptr, &b).ok());
  ASSERT_TRUE(change(&a, nullptr).ok());
  EXPECT_EQ(df("x"), std::nullopt);
  EXPECT_EQ(df("y"), 1u);
  ASSERT_TRUE(change(&b, nullptr).ok());
  EXPECT_TRUE(text_pairs().empty());
  const TextIndexState t = text_state();
  EXPECT_EQ(std::vector<uint64_t>({t.record_count, t.posting_entries, t.doc_stats_entries,
                                   t.term_stats_entries, t.namespace_stats_entries}),
            std::vector<uint64_t>({0, 0, 0, 0, 0}));
  EXPECT_EQ((**DerivedIndexState::read(*backend)).record_count, 0u);
}

TEST_F(RecordChangeTest, MissingStatisticsFailBeforeAnythingIsWritten) {
  const MemoryRecord a = rec("a", "x y");
  ASSERT_TRUE(change(nullptr, &a).ok());
  ASSERT_TRUE(backend->del(Partition::kTextIndex, term_stats_key("ns", "y")).ok());
  caches.clear();
  const std::vector<KvPair> before = text_pairs();
  const int batches = kv.batches;
  auto r = change(&a, nullptr);
  ASSERT_FALSE(r.ok());
  EXPECT_NE(r.error().message().find("text index df would go negative"), std::string::npos);
  EXPECT_EQ(kv.batches, batches);
  EXPECT_EQ(text_pairs(), before);
}

TEST_F(RecordChangeTest, StateErrorsAfterTheBatchKeepTheEntries) {
  ASSERT_TRUE(backend->put(Partition::kInternalMetadata, kDerivedIndexStateKey, "\x01").ok());
  const TextIndexState text_before = text_state();
  const MemoryRecord a = rec("a", "x");
  auto r = change(nullptr, &a);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ZolvaErrorKind::kSerialization);
  EXPECT_EQ(df("x"), 1u);                  // the batch stands
  EXPECT_EQ(text_state(), text_before);   // later states untouched
}

TEST_F(RecordChangeTest, WithoutStateRecordsOnlyTheEntriesAreWritten) {
  for (auto key : {kTextIndexStateKey, kDerivedIndexStateKey, kSparseIndexStateKey}) {
    ASSERT_TRUE(backend->del(Partition::kInternalMetadata, key).ok());
  }
  const MemoryRecord a = rec("a", "x", {}, SparseVector{{1, 1.0f}});
  ASSERT_TRUE(change(nullptr, &a).ok());
  EXPECT_EQ(df("x"), 1u);
  EXPECT_TRUE(backend->scan_all(Partition::kInternalMetadata)->empty());
  // A sparse state of another schema is left as it is.
  SparseIndexState v2 = SparseIndexState::create(7, 7);
  v2.schema_version = 2;
  ASSERT_TRUE(SparseIndexState::write(kv, v2).ok());
  ASSERT_TRUE(change(&a, nullptr).ok());
  EXPECT_EQ(**SparseIndexState::read(*backend), v2);
}

TEST_F(RecordChangeTest, OverLongTokensAreSkippedAndCounted) {
  OperationalCounters& c = OperationalCounters::global();
  const uint64_t skipped = c.text_tokens_skipped.read();
  const std::string huge(70000, 'q');
  const MemoryRecord a = rec("a", "alpha " + huge + " beta");
  ASSERT_TRUE(change(nullptr, &a).ok());
  EXPECT_EQ(c.text_tokens_skipped.read(), skipped + 1);
  for (const KvPair& kv : text_pairs()) EXPECT_LE(kv.key.size(), kMaxIndexKeyBytes);
  EXPECT_EQ(text_state().posting_entries, 2u);
  EXPECT_EQ(ns_stats(), (TextNamespaceStats{1, 3}));  // the length counts every token
  // The rebuild reproduces exactly what the change wrote.
  const std::vector<KvPair> incremental = text_pairs();
  auto collected = collect_text_index_entries_from_nodes({a.into_node()}, std::nullopt);
  ASSERT_TRUE(collected.ok());
  std::vector<KvPair> expected;
  for (auto& [k, v] : collected->expected_entries) expected.push_back({k, v});
  EXPECT_EQ(incremental, expected);
  ASSERT_TRUE(change(&a, nullptr).ok());
  EXPECT_TRUE(text_pairs().empty());
}

class ReadOnlyRecordChangeTest : public RecordChangeTest {
 protected:
  ReadOnlyRecordChangeTest() : RecordChangeTest(true) {}
  void SetUp() override {}
};

TEST_F(ReadOnlyRecordChangeTest, TheRefusalWritesNothing) {
  const MemoryRecord a = rec("a", "x");
  auto r = change(nullptr, &a);
  ASSERT_FALSE(r.ok());
  EXPECT_NE(r.error().message().find("read-only"), std::string::npos);
  for (uint8_t p = 0; p < kPartitionCount; ++p) {
    EXPECT_TRUE(backend->scan_all(static_cast<Partition>(p))->empty());
  }
}

}  // namespace
}  // namespace zv::text
