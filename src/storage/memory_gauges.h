// The process-wide memory gauges of the operational metrics that the open and
// every flush overwrite: process working set and committed bytes, index node
// count and logical bytes, resident bytes of the store and index mappings,
// and the node cache's entry count.
#pragma once

namespace zv {

class StorageEngine;

// Measures and stores the six gauges (each a plain store).
void refresh_memory_gauges(StorageEngine& engine);

}  // namespace zv
