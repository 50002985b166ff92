// The 1-based position of each record in one candidate list, looked up by
// (namespace, key): what a hit's explanation reports as its keyword and
// vector ranks. Pure function.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "src/search/search_hit.h"

namespace zv::search {

// (namespace, key), compared byte-wise, namespace first.
using RankMap = std::map<std::pair<std::string, std::string>, uint64_t, std::less<>>;

// Each hit's (namespace, key) to its position plus 1; a pair listed more
// than once keeps its largest rank.
RankMap rank_map(const std::vector<SearchHit>& hits);

// The rank of a record, or none when the list did not hold it.
std::optional<uint64_t> rank_of(const RankMap& ranks, const MemoryRecord& record);

}  // namespace zv::search
