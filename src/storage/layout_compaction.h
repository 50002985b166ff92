// Layout compaction of vector store segment 0: the breadth-first order of the
// index's bottom layer from its entry point, and the rewrite of the segment
// into a new file holding the live nodes of that order back to back, renamed
// over the old one. The caller holds segment 0's write lock across the
// rewrite and the engine's insert lock around both.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "src/foundation/error.h"
#include "src/index/vector_index_port.h"
#include "src/storage/vfile.h"

namespace zv {

inline constexpr const char* kEmptyOrderReason =
    "BFS order is empty \xE2\x80\x94 refusing to compact (would destroy the database)";

// Node ids from `start` in breadth-first order over the layer-0 neighbour
// lists, then every id of node_ids() not reached, in that order. Each id once.
std::vector<NodeId> bfs_order(const VectorIndexPort& index, NodeId start);

// Where the nodes went: (id, new storage offset) in file order, and the new
// file's length.
struct RewriteResult {
  std::vector<std::pair<NodeId, uint64_t>> offsets;
  uint64_t new_file_size = 0;
};

// Hooks of one rewrite. `before_rename` runs after the new file is durable
// and before it replaces the old one (its error stops the rewrite with the
// old file in place); `reopen` replaces VFile::reopen; `at_step` is told the
// name of each step as it starts. `renamed` is set once the new file has
// replaced the old one: a failure after that leaves the segment object on
// the old mapping while the path holds the new file.
struct RewriteSteps {
  std::function<ZolvaStatus()> before_rename;
  std::function<ZolvaStatus(VFile&, uint64_t)> reopen;
  std::function<void(std::string_view)> at_step;
  bool renamed = false;
};

// Rewrites `segment` in `order`: in memory nothing moves (each id keeps its
// offset); on file the nodes of the order whose offset names a live record of
// theirs in segment 0 are copied to "<file>.tmp" from position
// `header_size`, which then replaces the file and is reopened.
ZolvaResult<RewriteResult> rewrite_in_order(VFile& segment, const VectorIndexPort& index,
                                            std::span<const NodeId> order, uint64_t header_size,
                                            RewriteSteps& steps);

}  // namespace zv
