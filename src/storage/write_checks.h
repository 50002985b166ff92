// The checks every node write runs before it changes anything: the refusals
// that a later step (vector store, vector index, record decoder) would give,
// made up front so that no refused node reaches the log and fails every
// later replay. Pure functions over the node and the current index;
// thread-safe as the index is.
#pragma once

#include <string>

#include "src/foundation/error.h"
#include "src/index/vector_index_port.h"
#include "src/record/engine_node.h"

namespace zv {

// The node's partition 0 value, or the error of the first refusing step:
// the index's filter-size Validation, the store's vector length and edge
// count limits, the index's zero-norm InvalidInput under cosine for an id
// it does not hold yet, the stored value cap's Serialization.
ZolvaResult<std::string> check_node_write(const EngineNode& node, const VectorIndexPort* index);

}  // namespace zv
