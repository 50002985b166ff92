// Byte layouts of a node and its parts in the compact binary form: metadata
// values, edges, label index, byte strings, vectors, the whole EngineNode (log
// records, archived nodes) and NodeMetadata (a node record in the backend).
// Encoders cannot fail; decoders stop at the first BinaryFormatError and keep
// nothing. Pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "src/foundation/error.h"
#include "src/record/binary_form.h"
#include "src/record/engine_node.h"

namespace zv {

// Values longer than this are refused before decoding.
inline constexpr size_t kMaxStoredValueBytes = 134'217'728;
inline constexpr std::string_view kPayloadCapTemplate = "{} payload of {} bytes exceeds {} byte cap";
inline constexpr std::string_view kNodeMetadataLabel = "node metadata";
inline constexpr std::string_view kArchivedNodeLabel = "archived node";

void encode_field_value(BinaryWriter& w, const FieldValue& v);
BinResult<FieldValue> decode_field_value(BinaryReader& r);
// Entries in ascending name order.
void encode_field_map(BinaryWriter& w, const FieldMap& m);
// A repeated name keeps the later value.
BinResult<FieldMap> decode_field_map(BinaryReader& r);
void encode_edges(BinaryWriter& w, const std::vector<NodeEdge>& edges);
BinResult<std::vector<NodeEdge>> decode_edges(BinaryReader& r);
// An owned or mapped f32 vector is written as f32 values; a mapped vector
// without a view as no vector.
void encode_vector(BinaryWriter& w, const VectorRepr& v);
BinResult<VectorRepr> decode_vector(BinaryReader& r);

void encode_node(BinaryWriter& w, const EngineNode& node);
BinResult<EngineNode> decode_node(BinaryReader& r);

// The value stored under a node id in partition 0.
struct NodeMetadata {
  FieldMap fields;
  std::vector<NodeEdge> edges;
  uint64_t txn_stamp = 0;
  std::optional<uint64_t> aux_stamp;
  bool operator==(const NodeMetadata&) const = default;
};

// The record of a node as the storage engine writes it: copies of the fields
// and edges, the given stamp, no aux stamp.
inline NodeMetadata node_metadata_of(const EngineNode& node, uint64_t txn_stamp) {
  return NodeMetadata{node.fields, node.edges, txn_stamp, std::nullopt};
}

// Appends the encoding to `*out`.
void encode_node_metadata(const NodeMetadata& m, std::string* out);
std::string encode_node_metadata(const NodeMetadata& m);
// Refuses more than kMaxStoredValueBytes; bytes after the value are ignored.
ZolvaResult<NodeMetadata> decode_node_metadata(std::string_view bytes);
// An archived node value, under the same cap with the label "archived node".
ZolvaResult<EngineNode> decode_archived_node(std::string_view bytes);

// Serialization error holding an invalid-data error with the cap message.
ZolvaError payload_cap_error(std::string_view label, size_t len);

}  // namespace zv
