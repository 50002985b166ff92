#include "src/search/handle_search.h"

#include "src/search/multi_namespace.h"

namespace zv {
namespace search {

SearchContext context_of(const EmbeddedDb& db) {
  return SearchContext{[&db]() { return db.engine(); }, db.config().confidence_threshold};
}

}  // namespace search

ZolvaResult<std::vector<SearchHit>> EmbeddedDb::search(SearchRequest req, uint8_t method) const {
  ZV_ASSIGN_OR_RETURN(SearchResponse page, search::search_impl(search::context_of(*this),
                                                               std::move(req), method));
  return std::move(page.hits);
}

ZolvaResult<std::vector<SearchHit>> EmbeddedDb::search_multi(
    const std::vector<std::string>& namespaces, SearchRequest req) const {
  return search::search_multi(search::context_of(*this), namespaces, std::move(req));
}

}  // namespace zv
