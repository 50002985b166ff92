// Reciprocal rank fusion: several ranked hit lists become one, each list
// giving a record 1 / (k + rank) and the shares of one (namespace, key)
// summed in f32. The stages' own scores play no part. Pure functions over the
// lists they consume.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "src/search/search_hit.h"

namespace zv::fusion {

// The counts of one keyword-plus-dense fusion, in report order.
struct FusionReport {
  uint64_t text_candidates = 0;
  uint64_t vector_candidates = 0;
  uint64_t fused_candidates = 0;
  uint64_t rrf_k = 0;  // k truncated toward zero, saturating, 0 for NaN or negative

  bool operator==(const FusionReport&) const = default;
};

// (namespace, key), ordered byte-wise, namespace first.
using FusionKey = std::pair<std::string, std::string>;
using Accumulator = std::map<FusionKey, SearchHit>;

// Adds one list: the hit at 0-based position i contributes
// 1 / ((f32(i) + k) + 1) to its (namespace, key). The first hit seen for a
// pair is kept (explanation cleared, score replaced); later ones only add.
void accumulate_rrf(Accumulator& acc, std::vector<SearchHit> list, float k);

// The accumulated hits in the hit order.
std::vector<SearchHit> drain_sorted(Accumulator& acc);

// The keyword list and the dense list, in that order, with their report.
std::pair<std::vector<SearchHit>, FusionReport> fuse_rrf(std::vector<SearchHit> keyword,
                                                         std::vector<SearchHit> dense, float k);

// Any sequence of lists, fused in sequence order.
std::vector<SearchHit> fuse_rrf_lists(std::vector<std::vector<SearchHit>> lists, float k);

// k as the report's unsigned count.
uint64_t rrf_k_report_value(float k);

}  // namespace zv::fusion
