// Full-table node scans over partition 0.
#include <algorithm>
#include <mutex>

#include "src/record/node_key.h"
#include "src/storage/storage_engine.h"
#include "src/storage/stored_node.h"
#include "src/storage/stored_payload.h"

namespace zv {

namespace {

// Below this many nodes a page asks the index for each offset; from it on,
// one pass over the index's records beats a hash lookup per node.
constexpr size_t kBulkOffsetsFrom = 256;

// A node id as the backend orders its key: the 16 little-endian bytes
// compared one by one, i.e. the byte-reversed low word, then the high word.
struct KeyOrder {
  uint64_t first, second;
  explicit KeyOrder(NodeId id)
      : first(__builtin_bswap64(node_id_low(id))), second(__builtin_bswap64(node_id_high(id))) {}
  bool operator<(const KeyOrder& o) const {
    return first != o.first ? first < o.first : second < o.second;
  }
};

// The storage offsets of every indexed node, taken in one pass and walked in
// the backend's key order alongside the scan. An offset taken here can be
// stale by the time its record is read (a writer moved the node meanwhile),
// so the caller falls back to asking the index again.
class OffsetCursor {
 public:
  explicit OffsetCursor(const VectorIndexPort& index) {
    std::vector<NodeSummary> all = index.node_summaries();
    entries_.reserve(all.size());
    for (const NodeSummary& s : all) entries_.push_back({KeyOrder(s.id), s.id, s.storage_offset});
    std::sort(entries_.begin(), entries_.end(),
              [](const Entry& a, const Entry& b) { return a.order < b.order; });
  }

  size_t size() const { return entries_.size(); }

  // The offset of `id`, for ids asked in ascending key order.
  std::optional<uint64_t> offset(NodeId id) {
    const KeyOrder order(id);
    while (next_ < entries_.size() && entries_[next_].order < order) ++next_;
    if (next_ < entries_.size() && entries_[next_].id == id) return entries_[next_].offset;
    return std::nullopt;
  }

 private:
  struct Entry {
    KeyOrder order;
    NodeId id;
    uint64_t offset;
  };
  std::vector<Entry> entries_;
  size_t next_ = 0;
};

}  // namespace

ZolvaResult<std::pair<std::vector<EngineNode>, std::string>> StorageEngine::scan_nodes_page(
    std::string_view cursor_text, int64_t limit) {
  using Page = std::pair<std::vector<EngineNode>, std::string>;
  const std::optional<NodeId> cursor = parse_scan_cursor(cursor_text);
  // The pairs are read in place, one at a time: no copy of the partition.
  ZV_ASSIGN_OR_RETURN(std::unique_ptr<PrefixIter> pairs,
                      backend->prefix_iter(Partition::kDefault, std::string_view()));
  const std::shared_ptr<VectorIndexPort> index = vector_index();
  const size_t cap = limit < 0 ? SIZE_MAX : static_cast<size_t>(limit);
  std::optional<OffsetCursor> bulk;
  if (cap >= kBulkOffsetsFrom) bulk.emplace(*index);
  // Pages follow the backend's key order, so the cursor is compared as a key
  // (its 16 little-endian bytes): successive pages neither skip nor repeat.
  const std::string cursor_key = cursor ? node_key(*cursor) : std::string();
  Page page;
  page.first.reserve(bulk ? std::min(cap, bulk->size()) : cap);
  while (page.first.size() < cap) {
    auto item = pairs->next_view();
    if (!item) break;
    if (!item->ok()) return make_unexpected(std::move(*item).error());
    const PrefixIter::View p = **item;
    if (p.key.size() != kNodeKeyLen) continue;
    if (cursor && p.key <= cursor_key) continue;
    const NodeId id = *node_id_from_key(p.key);
    auto metadata = decode_node_metadata(p.value);
    if (!metadata.ok()) continue;
    std::optional<uint64_t> offset = bulk ? bulk->offset(id) : std::nullopt;
    const bool from_bulk = offset.has_value();
    if (!offset) offset = index->storage_offset(id);
    if (!offset) continue;
    NodeRecordHeader h;
    VectorRepr vector;
    ZV_ASSIGN_OR_RETURN(const VectorStoreSegment* seg, segment_for(*offset, id));
    bool found = read_live_record(*seg, *offset, id, h, vector);
    if (!found && from_bulk) {
      // Moved or removed since the offsets were taken: the index knows now.
      const std::optional<uint64_t> now = index->storage_offset(id);
      if (now && *now != *offset) {
        ZV_ASSIGN_OR_RETURN(seg, segment_for(*now, id));
        found = read_live_record(*seg, *now, id, h, vector);
      }
    }
    if (!found) continue;
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
