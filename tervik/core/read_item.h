// One step of every read-path source and adapter: an entry, an error, or the
// end (an empty optional). Sources yield entries in internal key order from
// their low end (next) and, when double-ended, from their high end
// (next_back), never yielding an entry twice. Each source is stepped by one
// thread at a time.
#pragma once

#include <optional>

#include "tervik/core/error.h"
#include "tervik/core/internal_value.h"

namespace tervik {

using ReadItem = std::optional<TervikResult<InternalValue>>;

class ItemSource {
 public:
  virtual ~ItemSource() = default;
  virtual ReadItem next() = 0;
};

class DoubleEndedSource : public ItemSource {
 public:
  virtual ReadItem next_back() = 0;
};

}  // namespace tervik
