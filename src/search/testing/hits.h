// Small builders of search hits for the search tests. Test-only.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "src/search/search_hit.h"

namespace zv::search_testing {

inline SearchHit hit(std::string ns, std::string key, NodeId id, float score) {
  SearchHit h;
  h.record.ns = std::move(ns);
  h.record.key = std::move(key);
  h.record.node_id = id;
  h.score = score;
  return h;
}

inline SearchHit hit(std::string key, float score, NodeId id = 1) {
  return hit("ns", std::move(key), id, score);
}

inline std::vector<std::string> keys_of(const std::vector<SearchHit>& hits) {
  std::vector<std::string> out;
  for (const SearchHit& h : hits) out.push_back(h.record.key);
  return out;
}

}  // namespace zv::search_testing
