#include "src/search/hit_order.h"

#include "platform/stable_merge_sort.h"

namespace zv::search {

std::weak_ordering compare_hits(const SearchHit& a, const SearchHit& b) {
  if (a.score > b.score) return std::weak_ordering::less;
  if (b.score > a.score) return std::weak_ordering::greater;
  // std::string compares bytes as unsigned char; a prefix sorts first.
  const int c = a.record.key.compare(b.record.key);
  if (c != 0) return c < 0 ? std::weak_ordering::less : std::weak_ordering::greater;
  if (a.record.node_id != b.record.node_id) {
    return a.record.node_id < b.record.node_id ? std::weak_ordering::less
                                               : std::weak_ordering::greater;
  }
  return std::weak_ordering::equivalent;
}

void sort_hits(std::vector<SearchHit>& hits) {
  stable_merge_sort(hits, [](const SearchHit& a, const SearchHit& b) { return compare_hits(a, b) < 0; });
}

void sort_hits_by_score(std::vector<SearchHit>& hits) {
  stable_merge_sort(hits, [](const SearchHit& a, const SearchHit& b) { return a.score > b.score; });
}

}  // namespace zv::search
