// The search context of an SDK handle: its engine slot and its configured
// confidence threshold, for the driver. The handle's search entry points
// (declared with the handle) are defined beside it.
#pragma once

#include "src/sdk/embedded_db.h"
#include "src/search/driver.h"

namespace zv::search {

// Valid while the handle lives.
SearchContext context_of(const EmbeddedDb& db);

}  // namespace zv::search
