// The keyword explanation of one search hit: each matched query token's
// share of the record's BM25 score (computed as the keyword stage computes
// it), the quoted phrases the record holds, a plain snippet of its payload
// and the record's 1-based ranks in the keyword and vector candidate lists.
// Reads the text index through the backend and the engine's statistics
// caches; holds no lock of its own. Callable from any thread.
#pragma once

#include <optional>
#include <string_view>

#include "src/backends/storage_backend.h"
#include "src/foundation/error.h"
#include "src/search/rank_map.h"
#include "src/search/search_hit.h"
#include "src/text/text_stats_cache.h"

namespace zv::search {

// Query words are taken as the index tokenizer cuts them. Any error of a
// statistics read, a posting read or a posting's decoding is returned as it
// is; missing statistics or postings only shorten the lists.
ZolvaResult<HitExplanation> explain_text_match(StorageBackend& backend,
                                               text::TextStatsCaches& caches, SearchHit hit,
                                               std::optional<std::string_view> query,
                                               const RankMap& text_ranks,
                                               const RankMap& vector_ranks);

}  // namespace zv::search
