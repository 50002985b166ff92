// Options shared by the listing and search operations of the SDK: the
// validity interval a record's own validity must overlap. Plain values.
#pragma once

#include <cstdint>

namespace zv {

// [from_ms, to_ms) in milliseconds since the Unix epoch.
struct ValidWindow {
  uint64_t from_ms = 0;
  uint64_t to_ms = 0;

  bool operator==(const ValidWindow&) const = default;
};

}  // namespace zv
