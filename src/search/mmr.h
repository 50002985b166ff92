// MMR re-ranking of a search's working list: picks up to top_k hits one by
// one, each time the hit whose relevance (its score normalised over the list)
// least overlaps, by cosine of record vectors, with the hits already picked.
// Also the candidate count a search fetches for it. Pure functions; the
// cosine runs on the process-wide vector kernels.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "src/search/request.h"
#include "src/search/search_hit.h"

namespace zv::search {

// fetch_k, or 5 x top_k when absent, clamped into [top_k, 16384] (top_k
// itself is at most 16384 once the request checks passed).
uint64_t mmr_candidate_count(uint64_t top_k, std::optional<uint64_t> fetch_k);

// The picked hits in picking order; the rest are released. Scores are kept.
std::vector<SearchHit> mmr_rerank(std::vector<SearchHit> hits, uint64_t top_k, const MmrOptions& opts);

}  // namespace zv::search
