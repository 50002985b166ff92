// The counting side of the index check at open: what the stored records
// imply for the derived, text and sparse indexes, what the index partitions
// hold, and the classification of the text index state record that the
// check and the text index audits use. The check itself, which reads the
// nodes and rebuilds stale indexes, belongs to the SDK handle. Pure apart
// from the backend reads; thread-safe as the backend is.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "src/backends/storage_backend.h"
#include "src/foundation/error.h"
#include "src/record/engine_node.h"

namespace zv::text {

// What the stored nodes imply, by the rules of the record change: live
// records exclude the expired ones, the text index keeps them, tokens too
// long for an index key are not counted.
struct ExpectedIndexCounts {
  uint64_t live_records = 0;
  uint64_t text_records = 0;
  uint64_t postings = 0;          // distinct indexed tokens per text record
  uint64_t term_stats = 0;        // distinct (namespace, token) pairs
  uint64_t namespace_stats = 0;   // distinct namespaces of the text records
  uint64_t sparse_postings = 0;   // sparse dimensions of the live records
};
ExpectedIndexCounts count_expected_entries(const std::vector<EngineNode>& nodes, uint64_t now_ms);

// The pairs of the text-index partition by kind of key.
struct StoredTextCounts {
  uint64_t postings = 0;
  uint64_t doc_stats = 0;
  uint64_t term_stats = 0;
  uint64_t namespace_stats = 0;
  uint64_t other_stats = 0;
};
ZolvaResult<StoredTextCounts> count_stored_text_entries(StorageBackend& backend);
// The number of pairs of a partition, streamed.
ZolvaResult<uint64_t> count_pairs(StorageBackend& backend, Partition partition);

// The five counts a text state is compared with.
struct TextIndexCounts {
  uint64_t record_count = 0;
  uint64_t posting_entries = 0;
  uint64_t doc_stats_entries = 0;
  uint64_t term_stats_entries = 0;
  uint64_t namespace_stats_entries = 0;
};

struct TextIndexStatus {
  bool state_valid = false;
  // "decode_error: " + the error's text, "missing", "incompatible",
  // "count_mismatch" or "current".
  std::string state_status;
};

// The stored text state against the expected counts; with skip_counts (an
// audit of one namespace) a compatible state is current whatever it counts.
// Never fails: a read error becomes the status text.
TextIndexStatus text_index_state_status(StorageBackend& backend, const TextIndexCounts& expected,
                                        bool skip_counts);

}  // namespace zv::text
