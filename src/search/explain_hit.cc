#include "src/search/explain_hit.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "src/search/bm25.h"
#include "src/search/phrase.h"
#include "src/search/query_terms.h"
#include "src/search/snippet.h"
#include "src/text/derived_index.h"
#include "src/text/text_codecs.h"
#include "src/text/text_keys.h"

namespace zv::search {
namespace {

// Whether the keys a term needs could ever be stored: longer keys are never
// written, so the term is absent rather than looked up.
bool term_keys_fit(std::string_view ns, std::string_view token, std::string_view key) {
  const size_t posting = ns.size() + token.size() + key.size() + 2;
  const size_t term_stats = text::kTermStatsPrefix.size() + ns.size() + 1 + token.size();
  return posting <= text::kMaxIndexKeyBytes && term_stats <= text::kMaxIndexKeyBytes;
}

// Each term's posting in this record, read and decoded at most once.
class PostingReader {
 public:
  PostingReader(StorageBackend& backend, std::string_view ns, std::string_view key)
      : backend_(backend), ns_(ns), key_(key) {}

  ZolvaResult<const text::TextPosting*> get(const std::string& token) {
    auto it = cache_.find(token);
    if (it == cache_.end()) {
      std::optional<text::TextPosting> posting;
      ZV_ASSIGN_OR_RETURN(std::optional<std::string> bytes,
                          backend_.get(Partition::kTextIndex, text::posting_key(ns_, token, key_)));
      if (bytes) {
        ZV_ASSIGN_OR_RETURN(text::TextPosting decoded, text::decode_text_posting(*bytes));
        posting = std::move(decoded);
      }
      it = cache_.emplace(token, std::move(posting)).first;
    }
    return it->second ? &*it->second : nullptr;
  }

 private:
  StorageBackend& backend_;
  std::string_view ns_;
  std::string_view key_;
  std::map<std::string, std::optional<text::TextPosting>, std::less<>> cache_;
};

std::string join_tokens(const std::vector<std::string>& tokens) {
  std::string out;
  for (const std::string& t : tokens) {
    if (!out.empty()) out.push_back(' ');
    out += t;
  }
  return out;
}

}  // namespace

ZolvaResult<HitExplanation> explain_text_match(StorageBackend& backend,
                                               text::TextStatsCaches& caches, SearchHit hit,
                                               std::optional<std::string_view> query,
                                               const RankMap& text_ranks,
                                               const RankMap& vector_ranks) {
  const MemoryRecord& record = hit.record;
  const std::string& ns = record.ns;
  const std::string& key = record.key;
  HitExplanation out;
  out.identity.reserve(ns.size() + 1 + key.size());
  out.identity.append(ns).push_back('\0');
  out.identity.append(key);
  out.score = hit.score;

  if (query) {
    const text::ParsedTextQuery q = query_index_terms(*query);
    PostingReader postings(backend, ns, key);
    if (!q.terms.empty()) {
      ZV_ASSIGN_OR_RETURN(std::optional<text::TextNamespaceStats> ns_stats,
                          text::text_namespace_stats(backend, caches, ns));
      if (ns_stats) {
        ZV_ASSIGN_OR_RETURN(std::optional<text::TextDocStats> doc,
                            text::text_doc_stats(backend, ns, key));
        if (doc && ns_stats->doc_count != 0) {
          const float avgdl = bm25_avgdl(ns_stats->doc_count, ns_stats->total_doc_len);
          for (const std::string& t : q.terms) {
            if (!term_keys_fit(ns, t, key)) continue;
            ZV_ASSIGN_OR_RETURN(std::optional<uint64_t> df,
                                text::text_term_stats(backend, caches, ns, t));
            if (!df) continue;
            ZV_ASSIGN_OR_RETURN(const text::TextPosting* posting, postings.get(t));
            if (posting == nullptr) continue;
            const float idf = bm25_idf(ns_stats->doc_count, *df);
            out.bm25_terms.push_back(
                {t, posting->term_frequency, *df, doc->doc_len,
                 bm25_contribution(posting->term_frequency, doc->doc_len, avgdl, idf)});
          }
        }
      }
    }
    for (const Bm25TermExplanation& term : out.bm25_terms) out.matched_tokens.push_back(term.token);

    if (!q.phrases.empty()) {
      PositionsMap positions;
      for (const std::string& t : q.terms) {
        if (!term_keys_fit(ns, t, key)) continue;
        ZV_ASSIGN_OR_RETURN(const text::TextPosting* posting, postings.get(t));
        if (posting != nullptr) positions.emplace(t, posting->positions);
      }
      for (const auto& phrase : q.phrases) {
        if (phrase_matches(positions, phrase)) out.matched_phrases.push_back(join_tokens(phrase));
      }
    }
    out.snippet = snippet::build_snippet(record.payload, *query, false);
  }

  out.rrf_text_rank = rank_of(text_ranks, record);
  out.rrf_vector_rank = rank_of(vector_ranks, record);
  return out;
}

}  // namespace zv::search
