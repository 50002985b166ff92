#include "src/search/paging.h"

#include <algorithm>

#include "platform/saturating.h"
#include "src/search/fingerprint.h"

namespace zv::search {

void resume_after(std::vector<SearchHit>& hits, const CursorPosition& pos) {
  size_t drop = static_cast<size_t>(std::min<uint64_t>(pos.offset, hits.size()));
  for (size_t i = 0; i < hits.size(); ++i) {
    if (hits[i].record.node_id == pos.node_id && hits[i].record.key == pos.key) {
      drop = i + 1;
      break;
    }
  }
  hits.erase(hits.begin(), hits.begin() + static_cast<ptrdiff_t>(drop));
}

std::optional<std::string> next_cursor(const SearchRequest& req, const std::optional<CursorPosition>& given,
                                       uint64_t listed_before_cut, const std::vector<SearchHit>& page) {
  if (page.empty() || req.mmr || req.group_by || listed_before_cut < req.top_k) return std::nullopt;
  CursorToken t;
  t.v = kCursorVersion;
  t.fp = plan_fingerprint(req);
  t.offset = sat_add_u64(page.size(), given ? given->offset : 0);
  t.key = page.back().record.key;
  t.node_id = node_id_to_string(page.back().record.node_id);
  return write_cursor(t);
}

}  // namespace zv::search
