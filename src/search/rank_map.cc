#include "src/search/rank_map.h"

namespace zv::search {

RankMap rank_map(const std::vector<SearchHit>& hits) {
  RankMap out;
  for (size_t i = 0; i < hits.size(); ++i) {
    // Later positions overwrite earlier ones: the largest rank survives.
    out[{hits[i].record.ns, hits[i].record.key}] = static_cast<uint64_t>(i) + 1;
  }
  return out;
}

std::optional<uint64_t> rank_of(const RankMap& ranks, const MemoryRecord& record) {
  auto it = ranks.find(std::make_pair(record.ns, record.key));
  if (it == ranks.end()) return std::nullopt;
  return it->second;
}

}  // namespace zv::search
