// The walk behind the operations that page through a whole namespace
// internally (counting, deleting by filter, re-indexing): the pages a cursor
// loop through EmbeddedDb::list would return, produced from one prefix
// iteration of the chosen index instead of one positional lookup per page.
// The EmbeddedDb operations themselves (list, count, list_namespaces,
// delete_by_filter) are declared on the handle. Thread-safe as the engine is.
#pragma once

#include <functional>
#include <string_view>
#include <vector>

#include "src/foundation/error.h"
#include "src/record/memory_record.h"
#include "src/sdk/list_options.h"
#include "src/storage/storage_engine.h"

namespace zv {

// Calls `visit` with the records of every page that list(ns, options) and
// its next_cursor would return in turn, starting at cursor 0 (the options'
// cursor is ignored; limit is the page size, 0 visits nothing). Without a
// derived index state and no candidate, the full node scan runs once for
// the whole walk. An error of a read or of `visit` ends the walk.
ZolvaStatus for_each_list_page(StorageEngine& engine, std::string_view ns,
                               const MemoryListOptions& options,
                               const std::function<ZolvaStatus(std::vector<MemoryRecord>&)>& visit);

}  // namespace zv
