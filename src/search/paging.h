// Cursor paging inside a search: dropping what earlier pages delivered from
// a re-run search's working list, and the cursor of the next page. Pure
// functions over the lists they are given.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "src/search/cursor.h"
#include "src/search/request.h"
#include "src/search/search_hit.h"

namespace zv::search {

// The hits after the cursor's last hit (matched by node id and key bytes);
// when that hit is gone, the list without its first min(offset, length) hits.
void resume_after(std::vector<SearchHit>& hits, const CursorPosition& pos);

// The cursor of the next page, or none: only for a non-empty page of a
// search without MMR or grouping whose list held at least top_k hits before
// the page was cut. Its offset adds the page to the given cursor's offset
// (saturating).
std::optional<std::string> next_cursor(const SearchRequest& req, const std::optional<CursorPosition>& given,
                                       uint64_t listed_before_cut, const std::vector<SearchHit>& page);

}  // namespace zv::search
