// Turning a node's three stored pieces back into an EngineNode: the header
// check that every read path applies (readable, not deleted, and holding the
// requested id: a record at an offset that belongs to another node reads as
// absent) and the node's assembly from header, vector and metadata. Pure
// functions; the caller holds the segment's read lock while it reads.
#pragma once

#include <optional>
#include <span>

#include "src/record/node_codec.h"
#include "src/storage/node_record_header.h"
#include "src/storage/vfile.h"

namespace zv {

// The header at a storage offset when it is readable, belongs to `id` and is
// not marked deleted.
std::optional<NodeRecordHeader> live_header_at(const VFile& segment, uint64_t offset, NodeId id);

struct VectorStoreSegment;

// Under the segment's read lock, so that a layout rewrite cannot move the
// record between the check and the copy: the live header at `offset` and its
// payload's copy; false when the record is not readable as `id`'s.
bool read_live_record(const VectorStoreSegment& seg, uint64_t offset, NodeId id,
                      NodeRecordHeader& h, VectorRepr& vector);

// The node's filter words as stored: the first, and the second when not 0.
std::vector<uint64_t> stored_filter_words(const NodeRecordHeader& h);

// A node from its pieces; `flags` as given by the read path.
EngineNode assemble_stored_node(NodeId id, const NodeRecordHeader& h, VectorRepr vector,
                                NodeMetadata metadata, uint32_t flags);

}  // namespace zv
