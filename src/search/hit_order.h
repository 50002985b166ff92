// The hit order of search: score descending, then record key ascending
// byte-wise, then node id ascending; a stable sort keeps hits that tie on all
// three in their input order. NaN scores leave the decision to the key, and
// the sort stays well defined although that is not a strict weak order.
// Pure functions.
#pragma once

#include <compare>
#include <vector>

#include "src/search/search_hit.h"

namespace zv::search {

// less: a goes before b. The namespace is not compared.
std::weak_ordering compare_hits(const SearchHit& a, const SearchHit& b);

// Sorts stably by compare_hits.
void sort_hits(std::vector<SearchHit>& hits);

// Sorts stably by score alone, highest first: a hit moves before another only
// when its score is strictly greater (NaN compares equal to every score).
void sort_hits_by_score(std::vector<SearchHit>& hits);

}  // namespace zv::search
