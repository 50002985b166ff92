#include "src/search/keyword_stage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "src/backends/in_memory_backend.h"
#include "src/record/node_key.h"
#include "src/runtime/operational_counters.h"
#include "src/search/bm25.h"
#include "src/search/hit_order.h"
#include "src/search/phrase.h"
#include "src/search/query_terms.h"
#include "src/search/testing/hits.h"
#include "src/search/testing/record_fixture.h"
#include "src/text/text_codecs.h"
#include "src/text/text_index_state.h"
#include "src/text/text_keys.h"

namespace zv::search {
namespace {

using search_testing::keys_of;
using search_testing::RecordFixture;

ZolvaResult<std::vector<SearchHit>> q(RecordFixture& f, std::string_view query, uint64_t limit = 100,
                                      const FieldMap& filters = {}, std::string_view ns = "ns") {
  return text_query(f.engine(), ns, query, filters, limit);
}

std::vector<std::string> keys(RecordFixture& f, std::string_view query, uint64_t limit = 100,
                              const FieldMap& filters = {}) {
  auto r = q(f, query, limit, filters);
  EXPECT_TRUE(r.ok()) << query << ": " << r.error().message();
  return r.ok() ? keys_of(*r) : std::vector<std::string>{"<error>"};
}

uint32_t bits(float v) { return std::bit_cast<uint32_t>(v); }

// Distance in units in the last place between two positive floats.
uint32_t ulps(float v, uint32_t golden) {
  const uint32_t b = bits(v);
  return b > golden ? b - golden : golden - b;
}

std::string error_text(const ZolvaResult<std::vector<SearchHit>>& r) {
  return r.ok() ? "<ok>" : r.error().message();
}

void put_text(RecordFixture& f, std::string_view key, std::string_view value) {
  ASSERT_TRUE(f.engine().backend->put(Partition::kTextIndex, key, value).ok());
  f.engine().text_stats.clear();
}

// Scores from an independent float32 computation (keyword_stage_goldens.py).
TEST(TextQuery, ScoresMatchFloat32Goldens) {
  RecordFixture f;
  f.put("ns", "a", "the cat sat on the mat");
  f.put("ns", "b", "the dog chased the cat around the yard");
  f.put("ns", "c", "a bird");
  auto r = q(f, "cat the");
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(keys_of(*r), (std::vector<std::string>{"a", "b"}));
  // One ulp apart at most: the two float32 logarithms may round differently.
  EXPECT_LE(ulps((*r)[0].score, 0x3f89251fu), 1u);
  EXPECT_LE(ulps((*r)[1].score, 0x3f875567u), 1u);
  auto bird = q(f, "BIRD");
  ASSERT_TRUE(bird.ok());
  ASSERT_EQ(bird->size(), 1u);
  EXPECT_LE(ulps((*bird)[0].score, 0x3fa8ac34u), 1u);
  EXPECT_FALSE((*bird)[0].explanation.has_value());
  EXPECT_EQ((*bird)[0].record.payload, "a bird");
  // A term repeated, quoted or not, counts once.
  auto again = q(f, "the \"cat\" cat \"the cat\" the");
  ASSERT_TRUE(again.ok());
  ASSERT_EQ(keys_of(*again), keys_of(*r));
  EXPECT_EQ(bits((*again)[0].score), bits((*r)[0].score));
  EXPECT_EQ(bits((*again)[1].score), bits((*r)[1].score));
  EXPECT_EQ(keys(f, "\"cat sat\" the"), (std::vector<std::string>{"a"}));
}

TEST(TextQuery, RankingAndTies) {
  RecordFixture f;
  f.put("ns", "once", "apple pear plum fig");
  f.put("ns", "twice", "apple apple pear fig");
  f.put("ns", "both", "apple kiwi pear fig");
  f.put("ns", "short", "kiwi");
  f.put("ns", "long", "kiwi fig fig fig fig fig fig fig");
  // More occurrences first.
  EXPECT_EQ(keys(f, "apple"), (std::vector<std::string>{"twice", "both", "once"}));
  // More matched terms and rarer terms first; shorter text first.
  EXPECT_EQ(keys(f, "kiwi")[0], "short");
  EXPECT_EQ(keys(f, "kiwi apple")[0], "both");
  EXPECT_EQ(keys(f, "kiwi"), (std::vector<std::string>{"short", "both", "long"}));
  // Limit 0 gives nothing; a limit above the candidates gives all.
  EXPECT_TRUE(keys(f, "apple", 0).empty());
  EXPECT_EQ(keys(f, "apple", 2), (std::vector<std::string>{"twice", "both"}));

  // Equal scores: key order, whatever the insertion order or node id.
  RecordFixture g;
  for (const char* k : {"m", "b", "z", "a", "ab"}) g.put("ns", k, "same words here");
  EXPECT_EQ(keys(g, "words", 10), (std::vector<std::string>{"a", "ab", "b", "m", "z"}));
  EXPECT_EQ(keys(g, "words", 2), (std::vector<std::string>{"a", "ab"}));
}

TEST(TextQuery, EqualKeysOrderByNodeId) {
  // Two live nodes whose records carry the same key: one posting each under
  // different keys (the index is inconsistent) leads to the slow path, which
  // orders equal scores by key and then node id.
  RecordFixture f;
  MemoryRecord r;
  r.ns = "ns";
  r.key = "k";
  r.payload = "alpha";
  r.node_id = 9;
  f.put(r);
  MemoryRecord s = r;
  s.key = "k2";
  s.node_id = 4;
  f.put(s);
  s.key = "k";
  f.overwrite_node(s);  // node 4 now holds key "k" too
  auto hits = q(f, "alpha");
  ASSERT_TRUE(hits.ok());
  ASSERT_EQ(hits->size(), 2u);
  EXPECT_EQ((*hits)[0].record.node_id, NodeId{4});
  EXPECT_EQ((*hits)[1].record.node_id, NodeId{9});
}

TEST(TextQuery, QueryWordsGoThroughTheIndexTokenizer) {
  RecordFixture f;
  f.put("ns", "paris", "We flew to Paris. It rained.");
  f.put("ns", "cafe", "the café was closed");
  f.put("ns", "ebook", "an e-book reader");
  f.put("ns", "apart", "e is a letter and book a word");
  f.put("ns", "dont", "don t stop");
  struct Case {
    const char* query;
    std::vector<std::string> want;
  };
  const Case cases[] = {
      {"Paris?", {"paris"}},
      {"Café", {"cafe"}},
      {"e-book", {"ebook", "apart"}},
      {"\"e-book\"", {"ebook"}},
      {"don't", {"dont"}},
      {"?!... --", {}},
      {"αβγ", {}},
      {"\"?!\" paris", {"paris"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> got = keys(f, c.query);
    std::vector<std::string> want = c.want;
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want) << c.query;
  }
  // A word too long for any index key is never stored: absent, and a phrase
  // holding it matches nothing.
  const std::string huge(70000, 'a');
  EXPECT_EQ(keys(f, "paris " + huge), (std::vector<std::string>{"paris"}));
  EXPECT_TRUE(keys(f, "paris \"paris " + huge + "\"").empty());
  // Upper case gives the same hits and score bits.
  auto upper = q(f, "PARIS RAINED");
  auto lower = q(f, "paris rained");
  ASSERT_TRUE(upper.ok() && lower.ok());
  ASSERT_EQ(upper->size(), 1u);
  ASSERT_EQ(lower->size(), 1u);
  EXPECT_EQ(bits((*upper)[0].score), bits((*lower)[0].score));
}

TEST(TextQuery, PhrasesFilter) {
  RecordFixture f;
  f.put("ns", "fwd", "new york city");
  f.put("ns", "rev", "york new city");
  EXPECT_EQ(keys(f, "\"new york\""), (std::vector<std::string>{"fwd"}));
  EXPECT_EQ(keys(f, "new york").size(), 2u);  // both terms score without quotes
  // A phrase holding a term the namespace lacks empties the result.
  EXPECT_TRUE(keys(f, "city \"new zebra\"").empty());
  // A repeated phrase is tested each time; a second phrase must also hold.
  EXPECT_EQ(keys(f, "\"new york\" \"new york\""), (std::vector<std::string>{"fwd"}));
  EXPECT_TRUE(keys(f, "\"new york\" \"city new\"").empty());
  EXPECT_EQ(keys(f, "\"york new\" \"new city\""), (std::vector<std::string>{"rev"}));
}

TEST(TextQuery, StateErrors) {
  struct Case {
    const char* name;
    std::optional<std::string> state;  // none: no state record
    const char* want;
  };
  const char* schema =
      "Validation error on text_index_schema: text_query requires text_index schema v3; "
      "reopen writable or run rebuild_index";
  auto with = [](auto change) {
    text::TextIndexState s = text::TextIndexState::create(0, 0, 0, 0, 0);
    change(s);
    return std::optional<std::string>(s.encode());
  };
  const Case cases[] = {
      {"absent", std::nullopt, "text_index not found: bm25"},
      {"undecodable", std::string("\x01", 1), "text_index_state not found: bm25"},
      {"schema 2", with([](auto& s) { s.schema_version = 2; }), schema},
      {"tokenizer version 2", with([](auto& s) { s.tokenizer_version = 2; }), schema},
      {"tokenizer", with([](auto& s) { s.tokenizer = "unicode"; }), schema},
      {"real NUL in key format",
       with([](auto& s) { s.key_format = std::string("namespace\0token\0key", 19); }), schema},
  };
  for (const Case& c : cases) {
    RecordFixture f;
    f.put("ns", "a", "word");
    auto& backend = *f.engine().backend;
    if (c.state) {
      ASSERT_TRUE(backend.put(Partition::kInternalMetadata, text::kTextIndexStateKey, *c.state).ok());
    } else {
      ASSERT_TRUE(backend.del(Partition::kInternalMetadata, text::kTextIndexStateKey).ok());
    }
    EXPECT_EQ(error_text(q(f, "word")), c.want) << c.name;
    // Checked before the query is looked at.
    EXPECT_EQ(error_text(q(f, "   ")), c.want) << c.name;
  }
}

TEST(TextQuery, IndexErrors) {
  {
    RecordFixture f;
    f.put("ns", "a", "word");
    put_text(f, text::posting_key("ns", "word", "a"), "\xff\xff");
    auto want = std::string(
        "Search error: text_query found an unreadable posting; run rebuild_index: ");
    std::string got = error_text(q(f, "word"));
    EXPECT_EQ(got.substr(0, want.size()), want);
    EXPECT_GT(got.size(), want.size());
  }
  {
    RecordFixture f;
    f.put("ns", "a", "word");
    ASSERT_TRUE(f.engine().backend->del(Partition::kTextIndex, text::doc_stats_key("ns", "a")).ok());
    EXPECT_EQ(error_text(q(f, "word")), "document_stats not found: unknown");
  }
  {
    RecordFixture f;
    f.put("ns", "a", "word");
    put_text(f, text::doc_stats_key("ns", "a"), text::encode_doc_stats(777, 1));
    EXPECT_EQ(error_text(q(f, "word")),
              "Search error: text_query found posting/doc stats mismatch; run rebuild_index");
  }
  {
    // A statistics key under the prefix is skipped, not decoded; a posting
    // whose key is not UTF-8 is skipped.
    RecordFixture f;
    f.put("ns", "a", "word");
    put_text(f, text::posting_key("ns", "word", "\xff\xfe"), text::encode_text_posting(5, 1, {0}));
    EXPECT_EQ(keys(f, "word"), (std::vector<std::string>{"a"}));
  }
}

TEST(TextQuery, DropsAreIndependent) {
  RecordFixture f;
  f.put("ns", "keep", "shared word", {{"tag", FieldValue::integer(1)}});
  MemoryRecord expired;
  expired.ns = "ns";
  expired.key = "expired";
  expired.payload = "shared word";
  expired.expires_at_ms = 5;  // long past
  expired.metadata = {{"tag", FieldValue::integer(1)}};
  f.put(expired);
  const NodeId moved = f.put("ns", "moved", "shared word", {{"tag", FieldValue::integer(1)}});
  const NodeId gone = f.put("ns", "gone", "shared word", {{"tag", FieldValue::integer(1)}});
  f.put("ns", "other", "shared word", {{"tag", FieldValue::integer(2)}});
  MemoryRecord m;
  m.ns = "elsewhere";
  m.key = "moved";
  m.payload = "shared word";
  m.node_id = moved;
  f.overwrite_node(m);
  f.delete_node(gone);
  EXPECT_EQ(keys(f, "shared", 10, {{"tag", FieldValue::integer(1)}}),
            (std::vector<std::string>{"keep"}));
  EXPECT_EQ(keys(f, "shared", 10), (std::vector<std::string>{"keep", "other"}));
  EXPECT_EQ(keys(f, "shared", 1), (std::vector<std::string>{"keep"}));
}

TEST(TextQuery, Counters) {
  OperationalCounters& c = OperationalCounters::global();
  RecordFixture f;
  f.put("ns", "a", "alpha beta");
  f.put("ns", "b", "alpha gamma");
  f.put("ns", "c", "delta");
  auto snapshot = [&] {
    return std::array<uint64_t, 3>{c.text_lexical_queries.read(), c.text_lexical_query_ms.read(),
                                   c.text_candidates_scored.read()};
  };
  auto before = snapshot();
  ASSERT_TRUE(q(f, "  !? ").ok());
  auto after = snapshot();
  EXPECT_EQ(after[0], before[0] + 1);
  EXPECT_EQ(after[2], before[2]);

  before = snapshot();
  ASSERT_TRUE(q(f, "alpha", 10, {}, "empty").ok());
  after = snapshot();
  EXPECT_EQ(after[0], before[0] + 1);
  EXPECT_GE(after[1], before[1]);

  before = snapshot();
  auto r = q(f, "alpha beta", 1);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->size(), 1u);
  after = snapshot();
  EXPECT_EQ(after[0], before[0] + 1);
  EXPECT_EQ(after[2], before[2] + 3);  // two alpha postings, one beta

  ASSERT_TRUE(f.engine().backend->del(Partition::kTextIndex, text::doc_stats_key("ns", "c")).ok());
  before = snapshot();
  EXPECT_FALSE(q(f, "alpha delta").ok());
  EXPECT_EQ(snapshot(), before);
}

TEST(TextQuery, RecordDeletedDuringTheScanIsSkipped) {
  // The record vanishes between its posting read and its statistics read.
  RecordFixture f;
  f.put("ns", "a", "word one");
  f.put("ns", "b", "word two");
  TextQueryHooks hooks;
  hooks.before_doc_stats = [&](std::string_view key) {
    if (key == "b") f.remove("ns", "b");
  };
  auto r = text_query(f.engine(), "ns", "word", {}, 10, &hooks);
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(keys_of(*r), (std::vector<std::string>{"a"}));

  // Deleted and stored again under a new node: the old posting is skipped.
  hooks.before_doc_stats = [&](std::string_view key) {
    if (key == "a") {
      f.remove("ns", "a");
      f.put("ns", "a", "other text");
    }
  };
  f.put("ns", "b", "word two");
  r = text_query(f.engine(), "ns", "word", {}, 10, &hooks);
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(keys_of(*r), (std::vector<std::string>{"b"}));
  f.put("ns", "a", "word one");

  // Deleted after the scan: the node read drops it.
  f.put("ns", "b", "word two");
  hooks.before_doc_stats = nullptr;
  hooks.after_posting_scan = [&] { f.remove("ns", "a"); };
  r = text_query(f.engine(), "ns", "word", {}, 10, &hooks);
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(keys_of(*r), (std::vector<std::string>{"b"}));
}

// Counts the node records read in batches.
class CountingBackend final : public StorageBackend {
 public:
  std::atomic<uint64_t> nodes_read{0};
  ZolvaResult<std::vector<KvPair>> scan_all(Partition p) override { return inner.scan_all(p); }
  ZolvaResult<std::unique_ptr<PrefixIter>> prefix_iter(Partition p, std::string_view x) override {
    return inner.prefix_iter(p, x);
  }
  ZolvaStatus put(Partition p, std::string_view k, std::string_view v) override { return inner.put(p, k, v); }
  ZolvaResult<std::optional<std::string>> get(Partition p, std::string_view k) override {
    return inner.get(p, k);
  }
  ZolvaResult<std::vector<KvPair>> multi_get(Partition p, std::span<const std::string> keys) override {
    if (p == Partition::kDefault) nodes_read += keys.size();
    return inner.multi_get(p, keys);
  }
  ZolvaStatus del(Partition p, std::string_view k) override { return inner.del(p, k); }
  ZolvaStatus write_batch(std::vector<BatchOp> ops) override { return inner.write_batch(std::move(ops)); }
  ZolvaStatus flush() override { return inner.flush(); }
  uint64_t limit_hint() const override { return inner.limit_hint(); }
  InMemoryBackend inner;
};

TEST(TextQuery, ReadsOnlyNodesThatCanReachThePage) {
  auto backend = std::make_shared<CountingBackend>();
  RecordFixture f(backend);
  for (int i = 0; i < 2000; ++i) {
    char key[16];
    std::snprintf(key, sizeof key, "k%05d", i);
    std::string payload = "common";
    for (int j = 0; j < i % 7; ++j) payload += " filler";
    f.put("ns", key, payload);
  }
  backend->nodes_read = 0;
  auto r = q(f, "common", 10);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->size(), 10u);
  EXPECT_LE(backend->nodes_read.load(), 48u);
  EXPECT_EQ((*r)[0].record.key, "k00000");  // the shortest texts, by key
}

// --- A plain model of the stage: score everything, read every candidate,
// drop, stable sort, cut. The stage must give the same hits and bits. ---

std::vector<SearchHit> model(StorageEngine& engine, std::string_view ns, std::string_view query,
                             const FieldMap& filters, uint64_t limit) {
  const text::ParsedTextQuery parsed = query_index_terms(query);
  std::vector<SearchHit> hits;
  auto nss = text::text_namespace_stats(*engine.backend, engine.text_stats, ns);
  if (parsed.terms.empty() || !*nss || (**nss).doc_count == 0) return hits;
  const float avgdl = bm25_avgdl((**nss).doc_count, (**nss).total_doc_len);
  std::map<NodeId, float> scores;
  std::map<NodeId, PositionsMap> positions;
  for (const std::string& t : parsed.terms) {
    auto df = text::text_term_stats(*engine.backend, engine.text_stats, ns, t);
    if (!*df || **df == 0) continue;
    const float idf = bm25_idf((**nss).doc_count, **df);
    const std::string prefix = text::posting_prefix(ns, t);
    auto items = engine.backend->scan_prefix(Partition::kTextIndex, prefix);
    for (const KvPair& kv : *items) {
      if (kv.key.starts_with(text::kStatsMarker)) continue;
      auto p = text::decode_text_posting(kv.value);
      auto ds = text::text_doc_stats(*engine.backend, ns, std::string_view(kv.key).substr(prefix.size()));
      const float c = bm25_contribution(p->term_frequency, (**ds).doc_len, avgdl, idf);
      auto [it, fresh] = scores.try_emplace(p->node_id, c);
      if (!fresh) it->second = it->second + c;
      positions[p->node_id][t] = p->positions;
    }
  }
  std::vector<NodeId> ids;
  for (const auto& [id, s] : scores) ids.push_back(id);
  auto nodes = engine.get_many(ids);
  std::map<NodeId, EngineNode> by_id;
  for (EngineNode& n : *nodes) by_id.emplace(n.id, n);
  for (const auto& [id, s] : scores) {
    if (!all_phrases_match(parsed.phrases, positions[id])) continue;
    auto n = by_id.find(id);
    if (n == by_id.end()) continue;
    auto rec = MemoryRecord::from_node(n->second, true);
    if (!rec || rec->ns != ns || !matches_equality_filters(rec->metadata, filters)) continue;
    hits.push_back(SearchHit{*rec, std::nullopt, s});
  }
  sort_hits(hits);
  if (hits.size() > limit) hits.resize(limit);
  return hits;
}

void expect_same(const std::vector<SearchHit>& got, const std::vector<SearchHit>& want,
                 const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].record.node_id, want[i].record.node_id) << what << " #" << i;
    EXPECT_EQ(bits(got[i].score), bits(want[i].score)) << what << " #" << i;
  }
}

TEST(TextQuery, MatchesThePlainModelOnRandomCorpora) {
  const char* vocab[] = {"ant", "bee", "cat", "dog", "eel", "fox", "gnu", "hen", "yak", "owl"};
  for (uint32_t seed : {1u, 2u, 3u, 4u}) {
    std::mt19937 rng(seed);
    RecordFixture f;
    const int n = 300;
    for (int i = 0; i < n; ++i) {
      MemoryRecord r;
      r.ns = (rng() % 10 == 0) ? "other" : "ns";
      r.key = "r" + std::to_string(rng() % 400);
      const int words = 1 + static_cast<int>(rng() % 12);
      for (int w = 0; w < words; ++w) {
        if (w) r.payload += (rng() % 3 == 0) ? ", " : " ";
        r.payload += vocab[rng() % (seed == 4 ? 3 : 10)];
      }
      r.metadata = {{"tag", FieldValue::integer(static_cast<int64_t>(rng() % 3))}};
      r.created_at_ms = r.updated_at_ms = r.valid_at_ms = 1;
      if (rng() % 15 == 0) r.expires_at_ms = 10;
      f.put(r);
    }
    for (int i = 0; i < 20; ++i) f.remove("ns", "r" + std::to_string(rng() % 400));
    for (int i = 0; i < 10; ++i) {
      if (auto id = f.id_of("ns", "r" + std::to_string(rng() % 400))) f.delete_node(*id);
    }
    if (seed == 3) {
      // Damaged statistics: a df far above N sends idf to -inf and a zero-tf
      // posting turns its share into NaN.
      put_text(f, text::term_stats_key("ns", "ant"), text::encode_term_stats(UINT64_MAX));
      auto id = f.id_of("ns", "r7").value_or(0);
      if (id == 0) id = f.put("ns", "r7", "ant");
      put_text(f, text::posting_key("ns", "ant", "r7"), text::encode_text_posting(id, 0, {0}));
    }
    const std::vector<std::string> queries = {"ant", "cat dog", "\"bee cat\"", "fox \"ant ant\"",
                                              "owl yak hen gnu", "\"cat dog\" eel", "zebra", "ant bee cat"};
    for (const std::string& query : queries) {
      for (uint64_t limit : {uint64_t{0}, uint64_t{1}, uint64_t{10}, uint64_t{1000}}) {
        for (const FieldMap& filters : {FieldMap{}, FieldMap{{"tag", FieldValue::integer(1)}}}) {
          auto got = text_query(f.engine(), "ns", query, filters, limit);
          ASSERT_TRUE(got.ok()) << got.error().message();
          expect_same(*got, model(f.engine(), "ns", query, filters, limit),
                      "seed " + std::to_string(seed) + " " + query + " limit " + std::to_string(limit));
        }
      }
    }
    if (seed == 3) {
      auto nan = text_query(f.engine(), "ns", "ant", {}, 1000);
      ASSERT_TRUE(nan.ok());
      EXPECT_TRUE(std::any_of(nan->begin(), nan->end(), [](const SearchHit& h) { return std::isnan(h.score); }));
    }
  }
}

}  // namespace
}  // namespace zv::search
