#include "src/text/text_rebuild.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "platform/clock.h"
#include "src/backends/backend_kv_service.h"
#include "src/backends/in_memory_backend.h"
#include "src/record/node_key.h"
#include "src/runtime/operational_counters.h"
#include "src/text/text_codecs.h"
#include "src/text/text_index_state.h"
#include "src/text/text_keys.h"

namespace zv::text {
namespace {

using namespace std::string_literals;

class CountingKv final : public KvService {
 public:
  explicit CountingKv(std::shared_ptr<StorageBackend> b) : inner(std::move(b), false) {}
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

MemoryRecord rec(std::string ns, std::string key, std::string payload) {
  MemoryRecord r;
  r.ns = std::move(ns);
  r.key = std::move(key);
  r.node_id = record_node_id(r.ns, r.key);
  r.payload = std::move(payload);
  return r;
}

class TextRebuildTest : public ::testing::Test {
 protected:
  TextIndexTarget target() { return TextIndexTarget{*backend, kv, caches, locks}; }
  ZolvaResult<TextRebuildStats> rebuild(const std::vector<MemoryRecord>& records) {
    std::vector<EngineNode> nodes;
    for (const auto& r : records) nodes.push_back(r.into_node());
    return rebuild_text_index_from_nodes(target(), nodes, monotonic_ns());
  }
  std::map<std::string, std::string> stored() {
    std::map<std::string, std::string> out;
    auto pairs = backend->scan_all(Partition::kTextIndex);
    for (auto& kv : *pairs) out.emplace(kv.key, kv.value);
    return out;
  }
  std::shared_ptr<InMemoryBackend> backend = std::make_shared<InMemoryBackend>();
  CountingKv kv{backend};
  TextStatsCaches caches;
  IndexLocks locks;
};

TEST_F(TextRebuildTest, EmptyDatabaseWritesOnlyAZeroState) {
  auto s = rebuild({});
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(kv.batches, 0);
  const TextIndexState t = **TextIndexState::read(*backend);
  EXPECT_TRUE(t.is_compatible());
  EXPECT_EQ(t.record_count + t.posting_entries + t.doc_stats_entries + t.term_stats_entries +
                t.namespace_stats_entries,
            0u);
}

TEST_F(TextRebuildTest, RebuildReplacesThePartition) {
  OperationalCounters& c = OperationalCounters::global();
  const uint64_t written = c.text_postings_written.read();
  ASSERT_TRUE(backend->put(Partition::kTextIndex, posting_key("ns", "stale", "gone"), "x").ok());
  caches.term.upsert(term_cache_key("ns", "b"), 99);
  caches.ns.upsert("ns", TextNamespaceStats{9, 9});
  MemoryRecord expired = rec("ns", "old", "");
  expired.expires_at_ms = 1;
  const MemoryRecord a = rec("ns", "a", "a b");
  const MemoryRecord b = rec("ns", "b", "b");
  auto s = rebuild({a, b, expired});
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(std::vector<uint64_t>({s->record_count, s->posting_entries, s->doc_stats_entries,
                                   s->term_stats_entries, s->namespace_stats_entries}),
            std::vector<uint64_t>({3, 3, 3, 2, 1}));
  EXPECT_EQ(c.text_postings_written.read(), written + 3);
  const std::map<std::string, std::string> want = {
      {posting_key("ns", "a", "a"), encode_text_posting(a.node_id, 1, {0})},
      {posting_key("ns", "b", "a"), encode_text_posting(a.node_id, 1, {1})},
      {posting_key("ns", "b", "b"), encode_text_posting(b.node_id, 1, {0})},
      {doc_stats_key("ns", "a"), encode_doc_stats(a.node_id, 2)},
      {doc_stats_key("ns", "b"), encode_doc_stats(b.node_id, 1)},
      {doc_stats_key("ns", "old"), encode_doc_stats(expired.node_id, 0)},  // expired, empty payload
      {term_stats_key("ns", "a"), encode_term_stats(1)},
      {term_stats_key("ns", "b"), encode_term_stats(2)},
      {namespace_stats_key("ns"), encode_namespace_stats(3, 3)},
  };
  EXPECT_EQ(stored(), want);
  EXPECT_FALSE(caches.term.lookup(term_cache_key("ns", "b")).value);
  EXPECT_FALSE(caches.ns.lookup("ns").value);
  const TextIndexState t = **TextIndexState::read(*backend);
  EXPECT_EQ(t.posting_entries, 3u);
  EXPECT_EQ(t.term_stats_entries, 2u);
}

TEST_F(TextRebuildTest, CollectionWithAFilter) {
  const std::vector<EngineNode> nodes = {rec("ns", "a", "x y").into_node(),
                                         rec("other", "b", "x").into_node()};
  auto none = collect_text_index_entries_from_nodes(nodes, "empty");
  ASSERT_TRUE(none.ok());
  EXPECT_EQ(none->records_scanned, 2u);
  EXPECT_EQ(none->record_count + none->posting_entries + none->term_stats_entries, 0u);
  EXPECT_TRUE(none->expected_entries.empty());
  auto one = collect_text_index_entries_from_nodes(nodes, "other");
  ASSERT_TRUE(one.ok());
  EXPECT_EQ(one->record_count, 1u);
  EXPECT_EQ(one->term_stats_entries, 1u);
  EXPECT_EQ(one->namespace_stats_entries, 1u);
  EXPECT_EQ(one->namespaces, (std::set<std::string>{"other"}));
  for (const auto& [k, v] : one->expected_entries) EXPECT_TRUE(key_in_namespace(k, "other"));
}

// Random changes applied one by one leave exactly the entries a collection
// (and so a rebuild) derives from the final records, over-long tokens too.
TEST_F(TextRebuildTest, IncrementalChangesEqualTheCollectionByteForByte) {
  ASSERT_TRUE(TextIndexState::write(kv, TextIndexState::create(0, 0, 0, 0, 0)).ok());
  std::mt19937 rng(7);
  const std::vector<std::string> words = {"red", "green", "blue", "sky", "sea", "Sky",
                                          std::string(65600, 'w'), "a1", "zz"};
  std::map<std::string, MemoryRecord> live;  // key -> record
  for (int step = 0; step < 400; ++step) {
    const std::string ns = rng() % 3 == 0 ? "n2" : "n1";
    const std::string key = "k" + std::to_string(rng() % 25);
    const std::string id = ns + '\0' + key;
    auto it = live.find(id);
    MemoryRecord* old = it == live.end() ? nullptr : &it->second;
    if (old != nullptr && rng() % 4 == 0) {
      ASSERT_TRUE(apply_record_change(target(), old, nullptr).ok());
      live.erase(it);
      continue;
    }
    std::string payload;
    for (int i = rng() % 6; i > 0; --i) payload += words[rng() % words.size()] + " ";
    MemoryRecord r = rec(ns, key, payload);
    ASSERT_TRUE(apply_record_change(target(), old, &r).ok());
    live.insert_or_assign(id, std::move(r));
  }
  std::vector<EngineNode> nodes;
  for (const auto& [id, r] : live) nodes.push_back(r.into_node());
  auto collected = collect_text_index_entries_from_nodes(nodes, std::nullopt);
  ASSERT_TRUE(collected.ok());
  EXPECT_EQ(stored(), collected->expected_entries);
  const TextIndexState incremental = **TextIndexState::read(*backend);
  EXPECT_EQ(incremental.record_count, collected->record_count);
  EXPECT_EQ(incremental.posting_entries, collected->posting_entries);
  EXPECT_EQ(incremental.term_stats_entries, collected->term_stats_entries);
  EXPECT_EQ(incremental.namespace_stats_entries, collected->namespace_stats_entries);
  // A rebuild right after changes nothing but the build time.
  ASSERT_TRUE(rebuild_text_index_from_nodes(target(), nodes, monotonic_ns()).ok());
  EXPECT_EQ(stored(), collected->expected_entries);
  TextIndexState rebuilt = **TextIndexState::read(*backend);
  rebuilt.built_at_ms = incremental.built_at_ms;
  EXPECT_EQ(rebuilt, incremental);
}

TEST(ValueDecodesForKey, ByKeyKind) {
  const std::string marker(kStatsMarker);
  struct Case {
    std::string key;
    std::string value;
    bool want;
  };
  const Case cases[] = {
      {posting_key("ns", "t", "k"), encode_text_posting(1, 1, {0}), true},
      {posting_key("ns", "t", "k"), "", false},
      {"short", encode_text_posting(1, 1, {}), true},
      {doc_stats_key("ns", "k"), encode_doc_stats(1, 2), true},
      {doc_stats_key("ns", "k"), "\x80", false},
      {term_stats_key("ns", "t"), encode_term_stats(3), true},
      {namespace_stats_key("ns"), encode_namespace_stats(1, 2), true},
      {namespace_stats_key("ns"), encode_term_stats(1), false},
      {marker + "xyz", encode_term_stats(1), false},
      {marker + "xyz", encode_text_posting(1, 1, {}), false},
  };
  for (const Case& c : cases) EXPECT_EQ(value_decodes_for_key(c.key, c.value), c.want) << c.key;
}

}  // namespace
}  // namespace zv::text
