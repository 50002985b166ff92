// The stored edge-label table: one entry per label in the internal-metadata
// partition, key "edge_label::" and the id in decimal, value the label's
// UTF-8 bytes. Edges keep label ids, so the ids must mean the same label
// after a reopen; the open loads the entries (ids dense from 0) and the
// engine's interning stores a new label durably before handing out its id.
// Stateless functions; the engine serialises interning under its label lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "src/backends/storage_backend.h"
#include "src/record/engine_node.h"

namespace zv {

inline constexpr std::string_view kEdgeLabelPrefix = "edge_label::";

std::string edge_label_key(uint32_t id);
// The table from the stored entries (any order): every key must be the
// prefix and a canonical decimal id, every value valid UTF-8, and the ids
// must run from 0 without a gap or repeat; else Serialization.
ZolvaResult<EdgeLabelTable> edge_labels_from_entries(const std::vector<KvPair>& entries);
ZolvaResult<EdgeLabelTable> load_edge_labels(StorageBackend& backend);

}  // namespace zv
