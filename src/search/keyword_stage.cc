#include "src/search/keyword_stage.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "platform/clock.h"
#include "platform/utf8.h"
#include "src/record/memory_record.h"
#include "src/record/validation.h"
#include "src/runtime/operational_counters.h"
#include "src/search/bm25.h"
#include "src/search/candidate_table.h"
#include "src/search/hit_order.h"
#include "src/search/phrase.h"
#include "src/search/query_terms.h"
#include "src/search/ranked_reads.h"
#include "src/text/derived_index.h"
#include "src/text/text_codecs.h"
#include "src/text/text_index_state.h"
#include "src/text/text_keys.h"
#include "src/text/text_stats_cache.h"

namespace zv::search {
namespace {

constexpr std::string_view kSchemaReason =
    "text_query requires text_index schema v3; reopen writable or run rebuild_index";

// One scored record: its summed score and its document length (read once
// per call); the table keeps the record key its first posting named. Every
// score is summed in ascending term order, so a hash table serves; id order
// is restored where it matters. Plain data, so the table grows by copying
// bytes; each term's positions (kept only when the query has phrases) live
// beside it, at the candidate's slot number.
struct Candidate {
  float score = 0.0f;
  uint32_t doc_len = 0;
};

using CandidateMap = CandidateTable<Candidate>;

// The positions of each scored record, by slot number.
using CandidatePositions = std::vector<PositionsMap>;

void raise_elapsed(uint64_t start_ns) {
  const uint64_t elapsed = monotonic_ns() - start_ns;
  const uint64_t ms = (elapsed / 1000000000u) * 1000u + (elapsed % 1000000000u) / 1000000u;
  OperationalCounters::global().text_lexical_query_ms.max(ms);
}

ZolvaStatus check_state(StorageBackend& backend) {
  auto state = text::TextIndexState::read(backend);
  if (!state.ok()) return make_unexpected(ZolvaError::not_found("text_index_state", "bm25"));
  if (!state->has_value()) return make_unexpected(ZolvaError::not_found("text_index", "bm25"));
  if (!(*state)->is_compatible()) {
    return make_unexpected(ZolvaError::validation("text_index_schema", std::string(kSchemaReason)));
  }
  return {};
}

// The term-statistics key would pass the index key limit: such a term is
// never stored, so it is absent without a read.
bool term_unstorable(std::string_view ns, std::string_view token) {
  return text::kTermStatsPrefix.size() + ns.size() + 1 + token.size() > text::kMaxIndexKeyBytes;
}

// The document length of a posting's record, read once per call; `stats`
// are the statistics a pass over the namespace's found for it, if any, and
// are read by key when absent or naming another node. When the
// statistics are absent or name another node, the record may have been
// deleted (or replaced) since the posting was read: the posting and the
// statistics are read again, and a posting that is gone or names another
// node by then is skipped (none), as the node read would drop it. Only a
// state that persists is the damaged index it appears to be.
ZolvaResult<std::optional<uint32_t>> doc_len_of(StorageEngine& engine, std::string_view ns,
                                                std::string_view token,
                                                std::string_view record_key, NodeId id,
                                                std::optional<text::TextDocStats> stats) {
  StorageBackend& backend = *engine.backend;
  if (!stats || stats->node_id != id) {
    ZV_ASSIGN_OR_RETURN(stats, text::text_doc_stats(backend, ns, record_key));
  }
  if (!stats || stats->node_id != id) {
    // The posting as it stands now: gone, or naming another node (the
    // record was deleted, or deleted and stored again), means the posting
    // read belongs to a node that no longer holds the record.
    ZV_ASSIGN_OR_RETURN(std::optional<std::string> posting,
                        backend.get(Partition::kTextIndex, text::posting_key(ns, token, record_key)));
    if (!posting) return std::optional<uint32_t>();
    auto now = text::decode_text_posting(*posting);
    if (now.ok() && now->node_id != id) return std::optional<uint32_t>();
    ZV_ASSIGN_OR_RETURN(stats, text::text_doc_stats(backend, ns, record_key));
    if (!stats) return make_unexpected(ZolvaError::not_found("document_stats", "unknown"));
    if (stats->node_id != id) {
      return make_unexpected(
          ZolvaError::search("text_query found posting/doc stats mismatch; run rebuild_index"));
    }
  }
  return std::optional<uint32_t>(stats->doc_len);
}

// The document statistics of one namespace read in key order beside a term's
// postings, which come in the same record-key order: when a term's postings
// cover a good part of the namespace, one pass over its statistics costs
// less than a lookup per record.
class DocStatsPass {
 public:
  static ZolvaResult<DocStatsPass> open(StorageBackend& backend, std::string_view ns) {
    DocStatsPass pass;
    pass.prefix_ = text::doc_stats_key(ns, "");
    ZV_ASSIGN_OR_RETURN(pass.iter_, backend.prefix_iter(Partition::kTextIndex, pass.prefix_));
    ZV_TRY(pass.advance());
    return pass;
  }

  // The statistics stored under `record_key`, or none when the pass holds
  // none (keys asked in ascending order).
  ZolvaResult<std::optional<text::TextDocStats>> find(std::string_view record_key) {
    while (current_ && current_->key.substr(prefix_.size()) < record_key) {
      ZV_TRY(advance());
    }
    if (!current_ || current_->key.substr(prefix_.size()) != record_key) {
      return std::optional<text::TextDocStats>();
    }
    ZV_ASSIGN_OR_RETURN(text::TextDocStats stats, text::decode_doc_stats(current_->value));
    return std::optional<text::TextDocStats>(stats);
  }

 private:
  ZolvaStatus advance() {
    current_.reset();
    if (auto item = iter_->next_view()) {
      if (!item->ok()) return make_unexpected(std::move(*item).error());
      current_ = std::move(**item);
    }
    return {};
  }

  std::string prefix_;
  std::unique_ptr<PrefixIter> iter_;
  std::optional<PrefixIter::View> current_;
};

// A pass over the statistics pays when a term's records are at least this
// share of the namespace's: a lookup by key costs about as much as stepping
// over this many entries.
constexpr uint64_t kDocStatsPassRatio = 6;

// The most candidates sized for in advance: the statistics could be damaged,
// and past this the table grows as it goes.
constexpr uint64_t kReserveCap = uint64_t{1} << 20;

// Scores every posting of one term into the candidates; returns the number
// of postings scored.
ZolvaResult<uint64_t> score_term(StorageEngine& engine, std::string_view ns, const std::string& token,
                                 float idf, float avgdl, bool keep_positions, bool pass_stats,
                                 CandidateMap& candidates, CandidatePositions& positions,
                                 const TextQueryHooks* hooks) {
  const std::string prefix = text::posting_prefix(ns, token);
  ZV_ASSIGN_OR_RETURN(std::unique_ptr<PrefixIter> iter,
                      engine.backend->prefix_iter(Partition::kTextIndex, prefix));
  std::optional<DocStatsPass> pass;
  if (pass_stats) {
    ZV_ASSIGN_OR_RETURN(pass, DocStatsPass::open(*engine.backend, ns));
  }
  uint64_t scored = 0;
  while (auto item = iter->next_view()) {
    if (!item->ok()) return make_unexpected(std::move(*item).error());
    const PrefixIter::View kv = **item;
    const std::string_view key = kv.key;
    if (key.size() >= text::kStatsMarker.size() && key.starts_with(text::kStatsMarker)) continue;
    auto posting = text::decode_text_posting(kv.value, keep_positions);
    if (!posting.ok()) {
      return make_unexpected(ZolvaError::search(
          "text_query found an unreadable posting; run rebuild_index: " + posting.error().message()));
    }
    if (!key.starts_with(prefix)) continue;
    const std::string_view record_key = key.substr(prefix.size());
    if (!is_valid_utf8(record_key)) continue;
    Candidate* candidate = candidates.find(posting->node_id);
    bool added = false;
    if (candidate == nullptr) {
      if (hooks && hooks->before_doc_stats) hooks->before_doc_stats(record_key);
      std::optional<text::TextDocStats> passed;
      if (pass) {
        ZV_ASSIGN_OR_RETURN(passed, pass->find(record_key));
      }
      ZV_ASSIGN_OR_RETURN(std::optional<uint32_t> doc_len,
                          doc_len_of(engine, ns, token, record_key, posting->node_id, passed));
      if (!doc_len) continue;
      candidate = candidates.find_or_add(posting->node_id, record_key).first;
      added = true;
      candidate->doc_len = *doc_len;
      candidate->score = bm25_contribution(posting->term_frequency, *doc_len, avgdl, idf);
    } else {
      candidate->score =
          candidate->score + bm25_contribution(posting->term_frequency, candidate->doc_len, avgdl, idf);
    }
    if (keep_positions) {
      if (added) positions.emplace_back();
      positions[candidates.slot_number(candidate)][token] = std::move(posting->positions);
    }
    ++scored;
  }
  return scored;
}

ZolvaResult<std::vector<SearchHit>> run(StorageEngine& engine, std::string_view ns,
                                        std::string_view query, const FieldMap& filters,
                                        uint64_t limit, uint64_t start_ns, const TextQueryHooks* hooks) {
  OperationalCounters& counters = OperationalCounters::global();
  ZV_TRY(check_state(*engine.backend));

  const text::ParsedTextQuery parsed = query_index_terms(query);
  if (parsed.terms.empty()) {
    counters.text_lexical_queries.add(1);
    return std::vector<SearchHit>();
  }

  ZV_ASSIGN_OR_RETURN(std::optional<text::TextNamespaceStats> ns_stats,
                      text::text_namespace_stats(*engine.backend, engine.text_stats, ns));
  if (!ns_stats || ns_stats->doc_count == 0) {
    raise_elapsed(start_ns);
    counters.text_lexical_queries.add(1);
    return std::vector<SearchHit>();
  }
  const float avgdl = bm25_avgdl(ns_stats->doc_count, ns_stats->total_doc_len);

  const bool keep_positions = !parsed.phrases.empty();
  // The terms' statistics first: their document counts bound the
  // candidates (at most the namespace's documents), so the table is sized
  // once instead of growing while the postings are scored.
  struct ScoredTerm {
    const std::string* token;
    uint64_t df;
  };
  std::vector<ScoredTerm> terms;
  uint64_t df_sum = 0;
  for (const std::string& token : parsed.terms) {
    if (term_unstorable(ns, token)) continue;
    ZV_ASSIGN_OR_RETURN(std::optional<uint64_t> df,
                        text::text_term_stats(*engine.backend, engine.text_stats, ns, token));
    if (!df || *df == 0) continue;
    terms.push_back(ScoredTerm{&token, *df});
    df_sum = df_sum + std::min(*df, ns_stats->doc_count);
  }
  CandidateMap candidates;
  candidates.reserve(static_cast<size_t>(std::min({df_sum, ns_stats->doc_count, kReserveCap})));
  CandidatePositions positions;
  uint64_t scored = 0;
  for (const ScoredTerm& term : terms) {
    const float idf = bm25_idf(ns_stats->doc_count, term.df);
    const bool pass_stats = term.df >= ns_stats->doc_count / kDocStatsPassRatio;
    ZV_ASSIGN_OR_RETURN(uint64_t n, score_term(engine, ns, *term.token, idf, avgdl, keep_positions,
                                               pass_stats, candidates, positions, hooks));
    scored += n;
  }
  if (hooks && hooks->after_posting_scan) hooks->after_posting_scan();

  // Candidates missing a phrase are no candidates.
  std::vector<const CandidateMap::Slot*> kept;
  kept.reserve(candidates.size());
  for (size_t s = 0; s < candidates.slots().size(); ++s) {
    if (!keep_positions || all_phrases_match(parsed.phrases, positions[s])) {
      kept.push_back(&candidates.slots()[s]);
    }
  }

  // Ranked before reading when the order is known without the records (no
  // NaN score, every posting naming its record's key); otherwise every
  // candidate is read in id order and sorted.
  std::vector<SearchHit> hits;
  bool any_nan = false;
  std::vector<RankedCandidate> order;
  order.reserve(kept.size());
  for (const CandidateMap::Slot* slot : kept) {
    any_nan = any_nan || std::isnan(slot->value.score);
    order.push_back(RankedCandidate{slot->id, slot->value.score, candidates.key(*slot)});
  }
  std::optional<std::vector<SearchHit>> ranked;
  if (!any_nan && limit > 0) {
    ZV_ASSIGN_OR_RETURN(ranked, rank_and_read(engine, ns, filters, limit, order));
  }
  if (ranked) {
    hits = std::move(*ranked);
  } else if (limit > 0) {
    std::vector<std::pair<NodeId, float>> scored_ids;
    scored_ids.reserve(kept.size());
    for (const CandidateMap::Slot* slot : kept) scored_ids.emplace_back(slot->id, slot->value.score);
    std::sort(scored_ids.begin(), scored_ids.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    ZV_ASSIGN_OR_RETURN(hits, read_all_then_rank(engine, ns, filters, limit, scored_ids));
  }
  record_hits_access(engine, hits);
  counters.text_lexical_queries.add(1);
  counters.text_candidates_scored.add(scored);
  raise_elapsed(start_ns);
  return hits;
}

}  // namespace

ZolvaResult<std::vector<SearchHit>> text_query(StorageEngine& engine, std::string_view ns,
                                               std::string_view query, const FieldMap& filters,
                                               uint64_t limit, const TextQueryHooks* hooks) {
  return run(engine, ns, query, filters, limit, monotonic_ns(), hooks);
}

}  // namespace zv::search
