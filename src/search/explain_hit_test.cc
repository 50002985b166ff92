#include "src/search/explain_hit.h"

#include <gtest/gtest.h>

#include <bit>
#include <string>
#include <vector>

#include "src/backends/in_memory_backend.h"
#include "src/search/bm25.h"
#include "src/text/text_codecs.h"
#include "src/text/text_keys.h"
#include "src/text/text_tokenizer.h"

namespace zv::search {
namespace {

// An in-memory backend whose point reads of keys starting with `fail_prefix`
// fail (a damaged or unreachable store).
class FaultyBackend final : public StorageBackend {
 public:
  std::string fail_prefix;

  ZolvaResult<std::vector<KvPair>> scan_all(Partition p) override { return inner.scan_all(p); }
  ZolvaResult<std::unique_ptr<PrefixIter>> prefix_iter(Partition p, std::string_view x) override {
    return inner.prefix_iter(p, x);
  }
  ZolvaStatus put(Partition p, std::string_view k, std::string_view v) override {
    return inner.put(p, k, v);
  }
  ZolvaResult<std::optional<std::string>> get(Partition p, std::string_view k) override {
    if (!fail_prefix.empty() && k.starts_with(fail_prefix)) return make_unexpected(ZolvaError::backend("read failed"));
    return inner.get(p, k);
  }
  ZolvaResult<std::vector<KvPair>> multi_get(Partition p, std::span<const std::string> k) override {
    return inner.multi_get(p, k);
  }
  ZolvaStatus del(Partition p, std::string_view k) override { return inner.del(p, k); }
  ZolvaStatus write_batch(std::vector<BatchOp> ops) override { return inner.write_batch(std::move(ops)); }
  ZolvaStatus flush() override { return {}; }
  uint64_t limit_hint() const override { return inner.limit_hint(); }

  InMemoryBackend inner;
};

constexpr std::string_view kNs = "n";

// Three records indexed as the index writer stores them: N 3, total 12.
struct Corpus {
  FaultyBackend backend;
  text::TextStatsCaches caches;

  Corpus() {
    const std::pair<std::string, std::string> docs[] = {
        {"k1", "Paris is lovely. Paris!"},       // paris x2, doc_len 4
        {"k2", "an e-book about new york"},      // doc_len 6
        {"k3", "york new"},                      // doc_len 2
    };
    std::map<std::string, uint64_t> df;
    uint64_t total = 0;
    NodeId id = 1;
    for (const auto& [key, payload] : docs) {
      const text::TextTokenStats s = text::token_stats(payload);
      for (const auto& [token, tf] : s.term_frequencies) {
        put(text::posting_key(kNs, token, key), text::encode_text_posting(id, tf, s.positions.at(token)));
        ++df[token];
      }
      put(text::doc_stats_key(kNs, key), text::encode_doc_stats(id, s.doc_len));
      total += s.doc_len;
      ++id;
    }
    for (const auto& [token, n] : df) put(text::term_stats_key(kNs, token), text::encode_term_stats(n));
    put(text::namespace_stats_key(kNs), text::encode_namespace_stats(3, total));
  }

  void put(const std::string& k, const std::string& v) {
    ASSERT_TRUE(backend.put(Partition::kTextIndex, k, v).ok());
  }

  ZolvaResult<HitExplanation> explain(const std::string& key, std::optional<std::string_view> query,
                                      const RankMap& text = {}, const RankMap& vec = {}) {
    SearchHit hit;
    hit.record.ns = std::string(kNs);
    hit.record.key = key;
    hit.record.payload = key == "k1" ? "Paris is lovely. Paris!" : key == "k2" ? "an e-book about new york" : "york new";
    hit.score = 0.25f;
    return explain_text_match(backend, caches, std::move(hit), query, text, vec);
  }
};

SearchHit hit_of(const std::string& key) {
  SearchHit h;
  h.record.ns = std::string(kNs);
  h.record.key = key;
  return h;
}

TEST(ExplainTextMatch, WithoutQueryOnlyIdentityScoreAndRanks) {
  Corpus c;
  const RankMap text = rank_map({hit_of("k2"), hit_of("k1")});
  auto e = c.explain("k2", std::nullopt, text, {});
  ASSERT_TRUE(e.ok());
  const std::string& id = e->identity;
  ASSERT_EQ(id.find('\0'), id.rfind('\0'));
  EXPECT_EQ(id.substr(0, id.find('\0')), "n");
  EXPECT_EQ(id.substr(id.find('\0') + 1), "k2");
  EXPECT_EQ(e->score, 0.25f);
  EXPECT_EQ(e->rrf_text_rank, 1u);
  EXPECT_EQ(e->rrf_vector_rank, std::nullopt);
  EXPECT_TRUE(e->bm25_terms.empty() && e->matched_tokens.empty() && e->matched_phrases.empty());
  EXPECT_FALSE(e->snippet);
}

TEST(ExplainTextMatch, SharesAreTheKeywordFormulaForTokenizedWords) {
  Corpus c;
  auto e = c.explain("k1", "Paris? zzz lovely");
  ASSERT_TRUE(e.ok()) << e.error().message();
  ASSERT_EQ(e->bm25_terms.size(), 2u);  // zzz is in no record
  const Bm25TermExplanation& p = e->bm25_terms[1];
  EXPECT_EQ(e->bm25_terms[0].token, "lovely");
  EXPECT_EQ(p.token, "paris");
  EXPECT_EQ(p.tf, 2u);
  EXPECT_EQ(p.df, 1u);
  EXPECT_EQ(p.doc_len, 4u);
  // Float32 golden (see the BM25 test): N 3, total 12, df 1, tf 2, doc_len 4.
  EXPECT_LE(std::abs(static_cast<int64_t>(std::bit_cast<uint32_t>(p.contribution)) - 0x3faca03d), 1);
  EXPECT_EQ(p.contribution, bm25_contribution(2, 4, bm25_avgdl(3, 12), bm25_idf(3, 1)));
  EXPECT_EQ(e->matched_tokens, (std::vector<std::string>{"lovely", "paris"}));
  EXPECT_EQ(e->snippet, "Paris is lovely. Paris!");

  // A term of the namespace that this record lacks gives no entry.
  auto other = c.explain("k3", "paris york");
  ASSERT_TRUE(other.ok());
  ASSERT_EQ(other->bm25_terms.size(), 1u);
  EXPECT_EQ(other->bm25_terms[0].token, "york");
}

TEST(ExplainTextMatch, PhrasesFromPostingsJoinedInQueryOrder) {
  Corpus c;
  auto e = c.explain("k2", "\"new york\" \"York New\" \"e-book\"");
  ASSERT_TRUE(e.ok());
  EXPECT_EQ(e->matched_phrases, (std::vector<std::string>{"new york", "e book"}));
  auto rev = c.explain("k3", "\"new york\" \"York New\"");
  ASSERT_TRUE(rev.ok());
  EXPECT_EQ(rev->matched_phrases, (std::vector<std::string>{"york new"}));

  // Without document statistics nothing is scored, yet phrases are tested.
  ASSERT_TRUE(c.backend.del(Partition::kTextIndex, text::doc_stats_key(kNs, "k2")).ok());
  auto bare = c.explain("k2", "\"new york\" about");
  ASSERT_TRUE(bare.ok());
  EXPECT_TRUE(bare->bm25_terms.empty());
  EXPECT_EQ(bare->matched_phrases, (std::vector<std::string>{"new york"}));
}

TEST(ExplainTextMatch, ZeroDfIsScored) {
  Corpus c;
  c.put(text::term_stats_key(kNs, "york"), text::encode_term_stats(0));
  auto e = c.explain("k3", "york");
  ASSERT_TRUE(e.ok());
  ASSERT_EQ(e->bm25_terms.size(), 1u);
  EXPECT_EQ(e->bm25_terms[0].df, 0u);
  EXPECT_EQ(e->bm25_terms[0].contribution, bm25_contribution(1, 2, bm25_avgdl(3, 12), bm25_idf(3, 0)));
}

TEST(ExplainTextMatch, ErrorsPassThroughUnchanged) {
  Corpus c;
  const std::string garbage("\xFF\xFF\xFF", 3);
  c.put(text::posting_key(kNs, "york", "k3"), garbage);
  const std::string decoder = text::decode_text_posting(garbage).error().message();
  for (const char* q : {"york", "\"york new\""}) {
    auto e = c.explain("k3", q);
    ASSERT_FALSE(e.ok());
    EXPECT_EQ(e.error().message(), decoder);
  }

  // Each statistics read and the posting read fail in turn.
  Corpus f;
  for (const std::string& prefix :
       {text::namespace_stats_key(kNs), text::doc_stats_key(kNs, "k3"),
        text::term_stats_key(kNs, "york"), text::posting_key(kNs, "york", "k3")}) {
    f.backend.fail_prefix = prefix;
    auto e = f.explain("k3", "york");
    ASSERT_FALSE(e.ok()) << prefix;
    EXPECT_EQ(e.error().message(), ZolvaError::backend("read failed").message());
  }
}

}  // namespace
}  // namespace zv::search
