// Key-range bounds in short: included, excluded, unbounded. Test-only.
#pragma once

#include <string_view>

#include "tervik/core/key_range.h"

namespace tervik::testing {

inline Bound inc(std::string_view k) { return Bound::included(Slice(k)); }
inline Bound exc(std::string_view k) { return Bound::excluded(Slice(k)); }
inline Bound all() { return Bound::unbounded(); }

}  // namespace tervik::testing
