// The request and result of one page of a namespace listing, shared by the
// listing, counting, deleting-by-filter and search operations of the SDK,
// and the validity interval a record's own validity must overlap. Plain
// values.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "src/record/field_value.h"
#include "src/record/memory_record.h"
#include "src/record/validation.h"

namespace zv {

// [from_ms, to_ms) in milliseconds since the Unix epoch.
struct ValidWindow {
  uint64_t from_ms = 0;
  uint64_t to_ms = 0;

  bool operator==(const ValidWindow&) const = default;
};

// One page request. `filter_ops`, when present, replaces `filters` both for
// matching and for choosing the index the candidates come from.
struct MemoryListOptions {
  FieldMap filters;
  std::optional<std::vector<MemoryFilterItem>> filter_ops;
  uint64_t limit = 0;  // 0 yields an empty page
  std::optional<uint64_t> cursor;  // a position among index entries; absent = 0
  bool exclude_superseded = false;
  std::optional<uint64_t> as_of_ms;
  std::optional<ValidWindow> valid_window;
  bool include_quarantined = false;
  std::optional<float> min_confidence;
};

// One page; `next_cursor` is absent when paging ends.
struct ZolvaListResult {
  std::vector<MemoryRecord> records;
  std::optional<uint64_t> next_cursor;
};

}  // namespace zv
