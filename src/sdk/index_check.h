// The check of a writable database's indexes at open: the derived, text and
// sparse index state records are compared with what the stored records imply
// and what the index partitions hold, and each index whose state is missing
// (with data present), unreadable, of another format or out of count is
// rebuilt, and all three are rebuilt when the open replayed log records (a
// crash may have lost index changes that leave the counts intact); an empty
// database gets three zero states. Its only traces are the
// text_index_repairs counter and the rebuilds' own counters. Runs on the
// opening thread before the handle is handed out.
#pragma once

#include "src/foundation/error.h"
#include "src/sdk/embedded_db.h"

namespace zv {

// The first error (a backend read, a rebuild, a refused write) ends the
// check; unreadable state records are rebuilt, never an error.
ZolvaStatus ensure_derived_indexes(const EmbeddedDb& db);

}  // namespace zv
