// Checked arithmetic on the text index statistics: a count moves by a signed
// delta and may neither go below zero nor past the u64 range. Pure.
#pragma once

#include <cstdint>
#include <string_view>

#include "src/foundation/error.h"

namespace zv::text {

// current + delta, or Validation on the field "stats" naming the label
// ("df", "doc_count", "total_doc_len").
ZolvaResult<uint64_t> checked_stat_add(uint64_t current, int64_t delta, std::string_view label);

// current + delta clamped into [0, u64 max].
uint64_t saturating_stat_add(uint64_t current, int64_t delta);

}  // namespace zv::text
