#include "src/search/sparse_stage.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <utility>

#include "src/record/binary_form.h"
#include "src/search/candidate_table.h"
#include "src/search/ranked_reads.h"
#include "src/text/index_codec_error.h"
#include "src/text/sparse_index.h"

namespace zv::search {
namespace {

// Each scored record's summed products, beside the record key of its first
// posting. Products are summed in ascending dimension order.
using ScoreMap = CandidateTable<float>;

ZolvaResult<text::SparsePosting> decode_posting(std::string_view bytes) {
  BinaryReader r(bytes);
  text::SparsePosting p;
  ZV_INDEX_DECODE(p.node_id, r.varint_u128(), "sparse posting");
  ZV_INDEX_DECODE(p.weight, r.f32(), "sparse posting");
  return p;
}

ZolvaStatus score_dimension(StorageBackend& backend, std::string_view ns, uint32_t dim,
                            float weight, ScoreMap& scores) {
  const std::string prefix = text::sparse_posting_prefix(ns, dim);
  ZV_ASSIGN_OR_RETURN(std::unique_ptr<PrefixIter> iter,
                      backend.prefix_iter(Partition::kSparseIndex, prefix));
  while (auto item = iter->next_view()) {
    if (!item->ok()) return make_unexpected(std::move(*item).error());
    const PrefixIter::View kv = **item;
    ZV_ASSIGN_OR_RETURN(text::SparsePosting posting, decode_posting(kv.value));
    const float product = weight * posting.weight;
    const std::string_view record_key =
        kv.key.substr(std::min(prefix.size(), kv.key.size()));
    auto [score, added] = scores.find_or_add(posting.node_id, record_key);
    *score = added ? product : *score + product;
  }
  return {};
}

}  // namespace

ZolvaResult<std::vector<SearchHit>> sparse_candidates(const EngineSource& source,
                                                      std::string_view ns,
                                                      const SparseVector& query,
                                                      const FieldMap& filters, uint64_t count) {
  if (query.empty()) return std::vector<SearchHit>();
  ZV_ASSIGN_OR_RETURN(std::shared_ptr<StorageEngine> engine, source());
  return sparse_candidates(*engine, ns, query, filters, count);
}

ZolvaResult<std::vector<SearchHit>> sparse_candidates(StorageEngine& engine, std::string_view ns,
                                                      const SparseVector& query,
                                                      const FieldMap& filters, uint64_t count) {
  if (query.empty()) return std::vector<SearchHit>();
  ScoreMap scores;
  for (const auto& [dim, weight] : query) {
    ZV_TRY(score_dimension(*engine.backend, ns, dim, weight, scores));
  }
  std::vector<SearchHit> hits;
  if (scores.empty() || count == 0) return hits;

  // Ranked before reading when no score is NaN: the posting keys give the
  // hit order, so only the best records are read. Otherwise (or when a
  // record's key differs from its posting's) every scored record is read.
  bool any_nan = false;
  std::vector<RankedCandidate> order;
  order.reserve(scores.size());
  for (const ScoreMap::Slot& s : scores.slots()) {
    any_nan = any_nan || std::isnan(s.value);
    order.push_back(RankedCandidate{s.id, s.value, scores.key(s)});
  }
  std::optional<std::vector<SearchHit>> ranked;
  if (!any_nan) {
    ZV_ASSIGN_OR_RETURN(ranked, rank_and_read(engine, ns, filters, count, order));
  }
  if (ranked) {
    hits = std::move(*ranked);
  } else {
    std::vector<std::pair<NodeId, float>> by_id;
    by_id.reserve(scores.size());
    for (const ScoreMap::Slot& s : scores.slots()) by_id.emplace_back(s.id, s.value);
    std::sort(by_id.begin(), by_id.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    ZV_ASSIGN_OR_RETURN(hits, read_all_then_rank(engine, ns, filters, count, by_id));
  }
  return hits;
}

}  // namespace zv::search
