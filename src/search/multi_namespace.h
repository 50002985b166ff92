// One search request run over several namespaces, one after another, each
// exactly as a search of that namespace alone, the pages merged by score.
// Thread-safe as the driver is.
#pragma once

#include <string>
#include <vector>

#include "src/foundation/error.h"
#include "src/search/driver.h"

namespace zv::search {

// At most top_k hits, highest score first; equal scores (and NaN, which
// compares equal to every score) keep the namespace order, then page order.
// Namespaces failing the namespace rules are skipped; the first failing
// search fails the call. An empty list or top_k 0: no hits, nothing checked.
ZolvaResult<std::vector<SearchHit>> search_multi(const SearchContext& ctx,
                                                 const std::vector<std::string>& namespaces,
                                                 SearchRequest req, StageSeam& stages);
ZolvaResult<std::vector<SearchHit>> search_multi(const SearchContext& ctx,
                                                 const std::vector<std::string>& namespaces,
                                                 SearchRequest req);

}  // namespace zv::search
