// Bounds of a key range over user keys (Included, Excluded, Unbounded), as
// range and prefix scans build them and memtable and table iterators take
// them. Plain values.
#pragma once

#include <string_view>

#include "tervik/core/slice.h"

namespace tervik {

enum class BoundKind : uint8_t { kIncluded, kExcluded, kUnbounded };

struct Bound {
  BoundKind kind = BoundKind::kUnbounded;
  Slice key;

  static Bound included(Slice k) { return {BoundKind::kIncluded, std::move(k)}; }
  static Bound excluded(Slice k) { return {BoundKind::kExcluded, std::move(k)}; }
  static Bound unbounded() { return {}; }

  // True when `user_key` lies on the allowed side of this bound used as the
  // lower (respectively upper) end of a range.
  bool admits_from_below(std::string_view user_key) const {
    switch (kind) {
      case BoundKind::kIncluded: return key.compare(user_key) <= 0;
      case BoundKind::kExcluded: return key.compare(user_key) < 0;
      case BoundKind::kUnbounded: return true;
    }
    return true;
  }
  bool admits_from_above(std::string_view user_key) const {
    switch (kind) {
      case BoundKind::kIncluded: return key.compare(user_key) >= 0;
      case BoundKind::kExcluded: return key.compare(user_key) > 0;
      case BoundKind::kUnbounded: return true;
    }
    return true;
  }
};

struct KeyRange {
  Bound lo;
  Bound hi;
  static KeyRange all() { return {}; }
  bool contains(std::string_view user_key) const {
    return lo.admits_from_below(user_key) && hi.admits_from_above(user_key);
  }
};

}  // namespace tervik
