// Full-table node scans over partition 0.
#include <mutex>

#include "src/record/node_key.h"
#include "src/storage/storage_engine.h"
#include "src/storage/stored_node.h"
#include "src/storage/stored_payload.h"

namespace zv {

ZolvaResult<std::pair<std::vector<EngineNode>, std::string>> StorageEngine::scan_nodes_page(
    std::string_view cursor_text, int64_t limit) {
  using Page = std::pair<std::vector<EngineNode>, std::string>;
  const std::optional<NodeId> cursor = parse_scan_cursor(cursor_text);
  ZV_ASSIGN_OR_RETURN(std::vector<KvPair> pairs, backend->scan_all(Partition::kDefault));
  const std::shared_ptr<VectorIndexPort> index = vector_index();
  const size_t cap = limit < 0 ? SIZE_MAX : static_cast<size_t>(limit);
  // Pages follow the backend's key order, so the cursor is compared as a key
  // (its 16 little-endian bytes): successive pages neither skip nor repeat.
  const std::string cursor_key = cursor ? node_key(*cursor) : std::string();
  Page page;
  page.first.reserve(std::min(cap, pairs.size()));
  for (KvPair& p : pairs) {
    if (page.first.size() >= cap) break;
    if (p.key.size() != kNodeKeyLen) continue;
    if (cursor && p.key <= cursor_key) continue;
    const NodeId id = *node_id_from_key(p.key);
    auto metadata = decode_node_metadata(p.value);
    if (!metadata.ok()) continue;
    const std::optional<uint64_t> offset = index->storage_offset(id);
    if (!offset) continue;
    ZV_ASSIGN_OR_RETURN(const VectorStoreSegment* seg, segment_for(*offset, id));
    NodeRecordHeader h;
    VectorRepr vector;
    {
      std::shared_lock lock(seg->lock);
      auto live = live_header_at(seg->file, *offset, id);
      if (!live || !payload_readable(seg->file.bytes(), *live)) continue;
      h = *live;
      vector = copy_payload(seg->file.bytes(), h);
    }
    page.first.push_back(
        assemble_stored_node(id, h, std::move(vector), std::move(*metadata), h.flags));
  }
  if (limit != 0 && page.first.size() == cap) page.second = node_id_to_string(page.first.back().id);
  return page;
}

ZolvaResult<std::vector<EngineNode>> StorageEngine::scan_all_nodes() {
  ZV_ASSIGN_OR_RETURN(auto page, scan_nodes_page("", -1));
  return std::move(page.first);
}

}  // namespace zv
