// The keyword candidate stage of search: Okapi BM25 over the text index of
// one namespace, quoted phrases as a filter, hits in the search hit order.
// Reads the index, the statistics and the stored nodes through the engine
// while writers run (separate reads, not one snapshot); updates the
// process-wide keyword counters. Thread-safe; holds no lock of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "src/foundation/error.h"
#include "src/record/field_value.h"
#include "src/search/search_hit.h"
#include "src/storage/storage_engine.h"

namespace zv::search {

// Interleaving points for tests; unset members are skipped.
struct TextQueryHooks {
  // After every term's postings were scored, before any node is read.
  std::function<void()> after_posting_scan;
  // Before the first read of a record's document statistics.
  std::function<void(std::string_view record_key)> before_doc_stats;
};

// The records of `ns` matching `query`, best first, at most `limit`; each hit
// holds the record and its BM25 score, no explanation. `filters` (may be
// empty) are equality tests on the metadata.
ZolvaResult<std::vector<SearchHit>> text_query(StorageEngine& engine, std::string_view ns,
                                               std::string_view query, const FieldMap& filters,
                                               uint64_t limit,
                                               const TextQueryHooks* hooks = nullptr);

}  // namespace zv::search
