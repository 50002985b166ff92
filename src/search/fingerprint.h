// The plan fingerprint of a search request: SipHash-1-3 with zero keys over
// every field that decides which hits a search returns and in what order, so
// that a cursor continues only the search that wrote it. The page size,
// MMR, grouping, the cursor and the index method are left out: a follow-up
// page may change them. Pure function.
#pragma once

#include <cstdint>

#include "src/search/request.h"

namespace zv::search {

uint64_t plan_fingerprint(const SearchRequest& req);

}  // namespace zv::search
