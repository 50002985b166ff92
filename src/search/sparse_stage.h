// The sparse-vector candidate stage of search: the records of one namespace
// that share a dimension with a sparse query, scored by the dot product of
// the two sparse vectors, reading only the postings of the query's
// dimensions. Thread-safe; reads only, holds no lock of its own.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "src/foundation/error.h"
#include "src/record/field_value.h"
#include "src/record/validation.h"
#include "src/search/engine_source.h"
#include "src/search/search_hit.h"
#include "src/storage/storage_engine.h"

namespace zv::search {

// At most `count` hits in the hit order. Zero and negative sums are hits. An
// empty query gives no hits without taking the engine; a posting that does
// not decode fails the stage with "sparse posting decode error: ...".
ZolvaResult<std::vector<SearchHit>> sparse_candidates(const EngineSource& source,
                                                      std::string_view ns,
                                                      const SparseVector& query,
                                                      const FieldMap& filters, uint64_t count);
ZolvaResult<std::vector<SearchHit>> sparse_candidates(StorageEngine& engine, std::string_view ns,
                                                      const SparseVector& query,
                                                      const FieldMap& filters, uint64_t count);

}  // namespace zv::search
