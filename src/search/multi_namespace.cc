#include "src/search/multi_namespace.h"

#include <algorithm>

#include "src/record/validation.h"
#include "src/search/dense_stage.h"
#include "src/search/hit_order.h"

namespace zv::search {

ZolvaResult<std::vector<SearchHit>> search_multi(const SearchContext& ctx,
                                                 const std::vector<std::string>& namespaces,
                                                 SearchRequest req, StageSeam& stages) {
  std::vector<SearchHit> merged;
  if (namespaces.empty() || req.top_k == 0) return merged;
  for (const std::string& ns : namespaces) {
    SearchRequest copy = req.clone();
    copy.ns = ns;
    if (!validate_namespace(copy.ns).ok()) continue;
    ZV_ASSIGN_OR_RETURN(SearchResponse page,
                        search_impl(ctx, std::move(copy), kMethodNone, stages));
    std::move(page.hits.begin(), page.hits.end(), std::back_inserter(merged));
  }
  sort_hits_by_score(merged);
  if (merged.size() > req.top_k) merged.resize(req.top_k);
  return merged;
}

ZolvaResult<std::vector<SearchHit>> search_multi(const SearchContext& ctx,
                                                 const std::vector<std::string>& namespaces,
                                                 SearchRequest req) {
  EngineStages stages(ctx.engine);
  return search_multi(ctx, namespaces, std::move(req), stages);
}

}  // namespace zv::search
