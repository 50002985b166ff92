#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "src/backends/in_memory_backend.h"
#include "src/runtime/operational_counters.h"
#include "src/text/derived_index.h"
#include "src/text/record_change.h"
#include "src/text/sparse_index.h"
#include "src/text/testing/index_testing.h"
#include "src/text/text_index_state.h"
#include "src/text/text_keys.h"

namespace zv::text {
namespace {

// One database's index side: a backend with the three state records and
// its own caches and locks.
struct IndexSide {
  IndexSide() : kv(backend) {
    EXPECT_TRUE(TextIndexState::write(kv.inner, TextIndexState::create(0, 0, 0, 0, 0)).ok());
    EXPECT_TRUE(DerivedIndexState::write(kv.inner, DerivedIndexState::create(0, 0, 0)).ok());
    EXPECT_TRUE(SparseIndexState::write(kv.inner, SparseIndexState::create(0, 0)).ok());
  }
  TextIndexTarget target() { return TextIndexTarget{*backend, kv, caches, locks}; }
  std::vector<KvPair> entries(Partition p) { return *backend->scan_all(p); }
  // The counts of the three states (their build times differ by design).
  std::vector<uint64_t> counts() {
    const TextIndexState t = **TextIndexState::read(*backend);
    const DerivedIndexState d = **DerivedIndexState::read(*backend);
    const SparseIndexState s = **SparseIndexState::read(*backend);
    return {t.record_count,       t.posting_entries,   t.doc_stats_entries,
            t.term_stats_entries, t.namespace_stats_entries, d.record_count,
            d.namespace_entries,  d.payload_entries,   s.record_count,
            s.posting_entries};
  }

  std::shared_ptr<InMemoryBackend> backend = std::make_shared<InMemoryBackend>();
  testing::RecordingKv kv;
  TextStatsCaches caches;
  IndexLocks locks;
};

const std::vector<std::string> kTokens = {"alpha", "beta", "gamma", "delta", "eps", "zeta"};
const std::vector<std::string> kNamespaces = {"ns", "other", "ns\x01tail"};

// Random records over a few namespaces and a small vocabulary, so changes
// share tokens and namespaces; a few carry a 70,000-character token, key or
// metadata string whose index keys are too long to write.
class RecordGen {
 public:
  explicit RecordGen(uint32_t seed) : rng_(seed) {}

  MemoryRecord make(std::string ns, std::string key) {
    std::string payload;
    const int words = pick(0, 8);
    for (int i = 0; i < words; ++i) {
      if (i) payload += ' ';
      payload += pick(0, 40) == 0 ? std::string(70000, 'q') : kTokens[pick(0, 5)];
    }
    FieldMap meta;
    if (pick(0, 2) == 0) meta["score"] = FieldValue::integer(pick(0, 3));
    if (pick(0, 3) == 0) {
      meta["tags"] = FieldValue::list_string({kTokens[pick(0, 5)], kTokens[pick(0, 5)]});
    }
    if (pick(0, 30) == 0) meta["blob"] = FieldValue::string(std::string(70000, 'm'));
    std::optional<SparseVector> sparse;
    if (pick(0, 2) == 0) sparse = SparseVector{{static_cast<uint32_t>(pick(0, 4)), 0.5f}, {9, 1.0f}};
    return testing::index_record(std::move(ns), std::move(key), std::move(payload),
                                 std::move(meta), std::move(sparse));
  }
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  std::mt19937& rng() { return rng_; }

 private:
  std::mt19937 rng_;
};

struct Counters {
  uint64_t postings, tokens, payload_keys;
  static Counters now() {
    OperationalCounters& c = OperationalCounters::global();
    return {c.text_postings_written.read(), c.text_tokens_skipped.read(),
            c.derived_payload_keys_skipped.read()};
  }
  Counters since(const Counters& before) const {
    return {postings - before.postings, tokens - before.tokens, payload_keys - before.payload_keys};
  }
  bool operator==(const Counters&) const = default;
};

// The batched change against the single change applied pair by pair, on
// random batches of inserts, updates (some moving the record to another
// namespace under the same id), deletes and over-long keys.
TEST(RecordChangesTest, EqualsThePairByPairChange) {
  for (uint32_t seed : {1u, 2u, 3u, 4u}) {
    SCOPED_TRACE(seed);
    RecordGen gen(seed);
    IndexSide single;
    IndexSide batched;
    std::map<NodeId, MemoryRecord> stored;  // the record each id holds now
    std::vector<std::string> keys;
    for (int i = 0; i < 24; ++i) keys.push_back("k" + std::to_string(i));
    keys.push_back(std::string(70000, 'K'));

    for (int round = 0; round < 40; ++round) {
      // A batch of distinct ids in random order.
      std::shuffle(keys.begin(), keys.end(), gen.rng());
      const int size = gen.pick(1, 12);
      std::vector<std::optional<MemoryRecord>> olds;
      std::vector<std::optional<MemoryRecord>> news;
      for (int i = 0; i < size; ++i) {
        const std::string ns = kNamespaces[gen.pick(0, 2)];
        const NodeId id = record_node_id("ns", keys[i]);
        auto it = stored.find(id);
        std::optional<MemoryRecord> o;
        if (it != stored.end()) o = it->second;
        std::optional<MemoryRecord> n;
        if (!o || gen.pick(0, 4) != 0) {
          n = gen.make(ns, keys[i]);
          n->node_id = id;
        }
        if (!o && !n) continue;
        olds.push_back(std::move(o));
        news.push_back(std::move(n));
        if (news.back()) stored[id] = *news.back(); else stored.erase(id);
      }
      std::vector<RecordPair> pairs;
      for (size_t i = 0; i < olds.size(); ++i) {
        pairs.push_back({olds[i] ? &*olds[i] : nullptr, news[i] ? &*news[i] : nullptr});
      }

      const Counters c0 = Counters::now();
      for (const RecordPair& p : pairs) {
        ASSERT_TRUE(apply_record_change(single.target(), p.old_record, p.new_record).ok());
      }
      const Counters c1 = Counters::now();
      const int batches = batched.kv.batches;
      ASSERT_TRUE(apply_record_changes(batched.target(), pairs).ok());
      EXPECT_EQ(batched.kv.batches, batches + 1);
      EXPECT_EQ(Counters::now().since(c1), c1.since(c0));

      for (Partition p : {Partition::kNamespaceIndex, Partition::kPayloadIndex,
                          Partition::kTextIndex, Partition::kSparseIndex}) {
        ASSERT_EQ(batched.entries(p), single.entries(p)) << "partition " << int(p);
      }
      ASSERT_EQ(batched.counts(), single.counts());
      ASSERT_EQ(batched.caches.term.size(), single.caches.term.size());
      ASSERT_EQ(batched.caches.ns.size(), single.caches.ns.size());
      for (const std::string& ns : kNamespaces) {
        EXPECT_EQ(batched.caches.ns.peek(ns), single.caches.ns.peek(ns));
        for (const std::string& token : kTokens) {
          EXPECT_EQ(batched.caches.term.peek(term_cache_key(ns, token)),
                    single.caches.term.peek(term_cache_key(ns, token)));
        }
      }
    }
  }
}

// A token that one change adds and the next removes sums to zero; the pair by
// pair path still reads, writes and caches it, and so must the batch.
TEST(RecordChangesTest, CancellingDeltasStillReadAndCacheTheStatistic) {
  IndexSide single;
  IndexSide batched;
  const MemoryRecord base = testing::index_record("ns", "base", "shared");
  for (IndexSide* side : {&single, &batched}) {
    ASSERT_TRUE(apply_record_change(side->target(), nullptr, &base).ok());
    side->caches.clear();
  }
  const MemoryRecord a_old = testing::index_record("ns", "a", "shared");
  const MemoryRecord b_new = testing::index_record("ns", "b", "shared");
  for (IndexSide* side : {&single, &batched}) {
    ASSERT_TRUE(apply_record_change(side->target(), nullptr, &a_old).ok());
    side->caches.clear();
  }
  const std::vector<RecordPair> pairs = {{&a_old, nullptr}, {nullptr, &b_new}};
  for (const RecordPair& p : pairs) {
    ASSERT_TRUE(apply_record_change(single.target(), p.old_record, p.new_record).ok());
  }
  ASSERT_TRUE(apply_record_changes(batched.target(), pairs).ok());
  EXPECT_EQ(single.caches.term.peek(term_cache_key("ns", "shared")), 2u);
  EXPECT_EQ(batched.caches.term.peek(term_cache_key("ns", "shared")), 2u);
  EXPECT_EQ(batched.caches.ns.peek("ns"), single.caches.ns.peek("ns"));
  EXPECT_EQ(batched.entries(Partition::kTextIndex), single.entries(Partition::kTextIndex));
  EXPECT_EQ(batched.counts(), single.counts());
}

// A later change that cannot apply (its statistic would go negative) fails
// the whole batch before it writes: the earlier changes leave nothing either.
TEST(RecordChangesTest, AFailingChangeWritesNothingOfTheBatch) {
  IndexSide side;
  const MemoryRecord a = testing::index_record("ns", "a", "x y");
  ASSERT_TRUE(apply_record_change(side.target(), nullptr, &a).ok());
  ASSERT_TRUE(side.backend->del(Partition::kTextIndex, term_stats_key("ns", "y")).ok());
  side.caches.clear();
  const std::vector<KvPair> text_before = side.entries(Partition::kTextIndex);
  const std::vector<uint64_t> counts_before = side.counts();
  const int batches = side.kv.batches;
  const MemoryRecord fresh = testing::index_record("ns", "fresh", "z", {}, SparseVector{{1, 1.0f}});
  const std::vector<RecordPair> pairs = {{nullptr, &fresh}, {&a, nullptr}};
  auto r = apply_record_changes(side.target(), pairs);
  ASSERT_FALSE(r.ok());
  EXPECT_NE(r.error().message().find("text index df would go negative"), std::string::npos);
  EXPECT_EQ(side.kv.batches, batches);
  EXPECT_EQ(side.entries(Partition::kTextIndex), text_before);
  EXPECT_TRUE(side.entries(Partition::kSparseIndex).empty());
  EXPECT_TRUE(side.entries(Partition::kNamespaceIndex).size() == 1);
  EXPECT_EQ(side.counts(), counts_before);
  // An empty list touches nothing.
  ASSERT_TRUE(apply_record_changes(side.target(), {}).ok());
  EXPECT_EQ(side.kv.batches, batches);
}

}  // namespace
}  // namespace zv::text
