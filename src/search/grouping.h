// Grouping of a search's working list: at most group_size hits per value of
// one metadata field, in list order, up to top_k hits. Values of different
// variants are different groups; a record without the field belongs to the
// group of the empty key. Pure function.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "src/search/request.h"
#include "src/search/search_hit.h"

namespace zv::search {

// The group a hit belongs to: its field value's debug text, or "" without it.
std::string group_key(const SearchHit& hit, const std::string& field);

// The kept hits in their order; the others are released.
std::vector<SearchHit> group_hits(std::vector<SearchHit> hits, uint64_t top_k, const GroupByOptions& opts);

}  // namespace zv::search
