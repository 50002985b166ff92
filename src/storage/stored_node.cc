#include "src/storage/stored_node.h"

#include <mutex>

#include "src/record/node_key.h"
#include "src/storage/storage_engine.h"
#include "src/storage/stored_payload.h"

namespace zv {

std::optional<NodeRecordHeader> live_header_at(const VFile& segment, uint64_t offset, NodeId id) {
  auto h = segment.node_header_at(offset & ~kSegmentMask);
  if (!h || h->node_id != id || h->deleted()) return std::nullopt;
  return h;
}

bool read_live_record(const VectorStoreSegment& seg, uint64_t offset, NodeId id,
                      NodeRecordHeader& h, VectorRepr& vector) {
  std::shared_lock lock(seg.lock);
  auto live = live_header_at(seg.file, offset, id);
  if (!live || !payload_readable(seg.file.bytes(), *live)) return false;
  h = *live;
  vector = copy_payload(seg.file.bytes(), h);
  return true;
}

std::vector<uint64_t> stored_filter_words(const NodeRecordHeader& h) {
  if (h.filter_word1 != 0) return {h.filter_word0, h.filter_word1};
  return {h.filter_word0};
}

EngineNode assemble_stored_node(NodeId id, const NodeRecordHeader& h, VectorRepr vector,
                                NodeMetadata metadata, uint32_t flags) {
  EngineNode n = EngineNode::create(id);
  n.vector = std::move(vector);
  n.bitset = stored_filter_words(h);
  n.fields = std::move(metadata.fields);
  n.edges = std::move(metadata.edges);
  n.confidence_score = h.confidence_score;
  n.importance = h.importance;
  n.tier = h.tier == 1 ? Tier::kHot : Tier::kCold;
  n.flags = flags;
  return n;
}

namespace {

// Kind 0 with no stored values: the index's own 8-bit, 4-bit or binary copy.
VectorRepr resolve_node_vector(const VectorIndexPort& index, NodeId id, uint32_t kind,
                               VectorRepr stored) {
  if (kind != 0) return stored;
  if (auto* f = stored.as_f32(); f && !f->empty()) return stored;
  auto copy = index.vector(id);
  if (copy && (copy->as_binary() || copy->as_turbo() || copy->as_sq8())) return std::move(*copy);
  return VectorRepr::none();
}

}  // namespace

ZolvaResult<std::optional<EngineNode>> StorageEngine::read_stored_node(NodeId id) {
  using Out = std::optional<EngineNode>;
  char key[kNodeKeyLen];  // the id's 16 little-endian bytes, without an allocation
  for (size_t i = 0; i < kNodeKeyLen; ++i) key[i] = static_cast<char>(id >> (8 * i));
  ZV_ASSIGN_OR_RETURN(std::optional<std::string> value,
                      backend->get(Partition::kDefault, std::string_view(key, kNodeKeyLen)));
  if (!value) return Out();
  ZV_ASSIGN_OR_RETURN(NodeMetadata metadata, decode_node_metadata(*value));
  const std::shared_ptr<VectorIndexPort> index = vector_index();
  const std::optional<uint64_t> offset = index->storage_offset(id);
  if (!offset) return Out();
  ZV_ASSIGN_OR_RETURN(const VectorStoreSegment* seg, segment_for(*offset, id));
  NodeRecordHeader h;
  VectorRepr vector;
  if (!read_live_record(*seg, *offset, id, h, vector)) return Out();
  vector = resolve_node_vector(*index, id, h.kind(), std::move(vector));
  return Out(assemble_stored_node(id, h, std::move(vector), std::move(metadata), h.flags));
}

}  // namespace zv
