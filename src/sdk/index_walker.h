// The candidates of a namespace listing: which derived index they come from
// (the payload index of one field and scalar value, or the namespace index),
// and a walker that reads the chosen index once, lazily, and hands out the
// node ids in groups of a page size. Operations that page through a whole
// namespace internally use the walker instead of one positional lookup per
// page, whose every page re-walks the entries before its cursor.
// Not thread-safe itself; each walker reads one snapshot of the backend.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "src/backends/storage_backend.h"
#include "src/foundation/error.h"
#include "src/foundation/node_id.h"
#include "src/record/field_value.h"
#include "src/sdk/list_options.h"
#include "src/text/derived_lookup.h"

namespace zv {

// The payload index entries of (field, value), or, when `payload` is
// absent, the namespace index entries of the namespace.
struct CandidateSource {
  struct Payload {
    std::string field;
    FieldValue value;
  };
  std::optional<Payload> payload;
};

// The first Eq item of `filter_ops` when present, otherwise the smallest
// key of `filters`, goes to the payload index when its value is a scalar the
// payload index answers completely; a list value, a Float zero (0.0 and -0.0
// are equal but keyed apart), a value whose entries may have been left out
// as over-long, or no such filter at all go to the namespace index.
CandidateSource choose_candidate_source(std::string_view ns, const MemoryListOptions& options);

// The positional lookup of one page: skip `skip` entries, then at most
// `limit` ids, with whether the derived index state exists. Adds 1 to
// derived_prefix_scans.
ZolvaResult<text::DerivedLookup> lookup_candidates(StorageBackend& backend, std::string_view ns,
                                                   const CandidateSource& source, uint64_t skip,
                                                   uint64_t limit);

// One prefix iteration of the chosen index, handing out ids in groups of
// `group_size` with the page lookups' rules: the same prefix, entries whose
// value is not 16 bytes neither returned nor counted, and
// derived_prefix_scans raised once per group. A group shorter than
// `group_size` is the last with ids; every group after it is empty.
class IndexIdWalker {
 public:
  // Opens the iteration and reads whether the derived index state exists.
  // group_size 0 is taken as 1.
  static ZolvaResult<IndexIdWalker> open(StorageBackend& backend, std::string_view ns,
                                         const CandidateSource& source, uint64_t group_size);

  ZolvaResult<std::vector<NodeId>> next_group();
  bool state_exists() const { return state_exists_; }
  uint64_t group_size() const { return group_size_; }

 private:
  IndexIdWalker(std::unique_ptr<PrefixIter> it, bool state_exists, uint64_t group_size)
      : it_(std::move(it)), state_exists_(state_exists), group_size_(group_size) {}

  std::unique_ptr<PrefixIter> it_;  // null once the entries are exhausted
  bool state_exists_;
  uint64_t group_size_;
};

}  // namespace zv
