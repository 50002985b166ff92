#include "src/search/grouping.h"

#include <unordered_map>

namespace zv::search {

std::string group_key(const SearchHit& hit, const std::string& field) {
  auto it = hit.record.metadata.find(field);
  return it == hit.record.metadata.end() ? std::string() : it->second.debug_string();
}

std::vector<SearchHit> group_hits(std::vector<SearchHit> hits, uint64_t top_k, const GroupByOptions& opts) {
  std::vector<SearchHit> out;
  std::unordered_map<std::string, uint64_t> counts;
  for (SearchHit& h : hits) {
    if (out.size() >= top_k) break;
    uint64_t& n = counts[group_key(h, opts.field)];
    if (n >= opts.group_size) continue;
    ++n;
    out.push_back(std::move(h));
  }
  return out;
}

}  // namespace zv::search
