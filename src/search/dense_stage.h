// The dense-vector candidate stage of search: the records of one namespace
// ranked by vector similarity, filtered by equality filters. It estimates the
// filters' selectivity first and picks a route: exact scoring of the filtered
// records (very selective filters), a pre-filter test on the records' shred
// records (selective), or an index search whose candidates are filtered
// afterwards (weak or no filters). Thread-safe; holds no lock of its own and
// keeps the vector index it loaded for the whole call.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "src/foundation/error.h"
#include "src/record/field_value.h"
#include "src/search/engine_source.h"
#include "src/search/search_hit.h"
#include "src/storage/storage_engine.h"
#include "src/vector/distance_metric.h"

namespace zv::search {

// Index method bytes as a search passes them.
inline constexpr uint8_t kMethodHnsw = 0;
inline constexpr uint8_t kMethodNone = 5;

// At most `count` hits of namespace `ns`, best first. On the index routes a
// hit's score is the index's (higher is better; under Euclidean the negated
// distance), on the exact route the same measure computed exactly. An empty
// query gives no hits without taking the engine.
ZolvaResult<std::vector<SearchHit>> dense_candidates(const EngineSource& source,
                                                     std::string_view ns,
                                                     std::span<const float> query,
                                                     const FieldMap& filters, uint64_t count,
                                                     DistanceMetric metric, uint8_t method);
ZolvaResult<std::vector<SearchHit>> dense_candidates(StorageEngine& engine, std::string_view ns,
                                                     std::span<const float> query,
                                                     const FieldMap& filters, uint64_t count,
                                                     DistanceMetric metric, uint8_t method);

// The exact route alone: every filtered record with a vector of the query's
// length, scored one by one, sorted by the hit order, at most `count`.
ZolvaResult<std::vector<SearchHit>> exact_dense_candidates(StorageEngine& engine,
                                                           std::string_view ns,
                                                           std::span<const float> query,
                                                           const FieldMap& filters,
                                                           uint64_t count, DistanceMetric metric);

// The product of the filters' equality estimates (1.0 without filters).
float filter_selectivity(const StorageEngine& engine, const FieldMap& filters);

}  // namespace zv::search
