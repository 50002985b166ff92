// EngineNode: the node record that the storage engine stores, caches, logs and
// indexes (every memory record lives in one), with its edges; and
// EdgeLabelTable, which interns edge label text into 32-bit ids. Nodes are
// plain values built by one thread and then shared read-only; the label table
// is not synchronised (the engine guards it with its own mutex).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "src/foundation/node_id.h"
#include "src/record/field_value.h"
#include "src/vector/vector_repr.h"

namespace zv {

inline constexpr uint32_t kNodeFlagAlive = 0x01;
inline constexpr uint32_t kNodeFlagDeleted = 0x08;
inline constexpr uint32_t kNodeFlagHasVector = 0x10;
inline constexpr uint32_t kNodeFlagEdgesChanged = 0x20;
inline constexpr uint32_t kNodeLiveMask = kNodeFlagAlive | kNodeFlagDeleted;

inline constexpr float kNewNodeConfidence = 0.5f;
inline constexpr float kNewNodeImportance = 0.1f;
inline constexpr float kDefaultEdgeWeight = 1.0f;

enum class Tier : uint8_t { kHot = 0, kCold = 1 };

struct NodeEdge {
  NodeId target = 0;
  uint32_t label = 0;
  float weight = kDefaultEdgeWeight;
  // false: the outgoing entry on the source; true: the incoming mirror.
  bool direction = false;
  uint64_t created_at_ms = 0;
  bool operator==(const NodeEdge&) const = default;
};

using LabelIndex = std::unordered_map<uint32_t, std::vector<NodeId>>;
using ByteFields = std::unordered_map<std::string, std::string>;

struct EngineNode {
  NodeId id = 0;
  std::vector<uint64_t> bitset;  // filter bit words
  uint32_t aux_u32 = 0;
  uint32_t flags = kNodeFlagAlive;
  VectorRepr vector;
  uint32_t epoch = 0;
  std::vector<NodeEdge> edges;
  LabelIndex label_index;  // label id -> targets, in the order added
  FieldMap fields;
  Tier tier = Tier::kCold;
  uint32_t hits = 0;
  uint64_t last_accessed = 0;
  float confidence_score = kNewNodeConfidence;
  float importance = kNewNodeImportance;
  ByteFields byte_fields;

  // A new node: alive, cold, no vector, last accessed now.
  static EngineNode create(NodeId id);

  // Alive bit set and deleted bit clear.
  bool is_live() const { return (flags & kNodeLiveMask) == kNodeFlagAlive; }
  const FieldValue* get_field(std::string_view name) const;
  void set_field(std::string name, FieldValue value);
  // Appends an outgoing edge created now, files the target under its label
  // and marks the edges changed. No duplicate check.
  void add_edge(NodeId target, uint32_t label, float weight);
  void add_edge_default_weight(NodeId target, uint32_t label) {
    add_edge(target, label, kDefaultEdgeWeight);
  }

  bool operator==(const EngineNode&) const = default;
};

class EdgeLabelTable {
 public:
  // The id of the label, adding it when new; ids count up from 0.
  uint32_t intern(std::string_view label);
  // The label text of an id, or "<unknown>" past the end.
  std::string_view name(uint32_t id) const;
  // The id of a known label.
  std::optional<uint32_t> find(std::string_view label) const;
  size_t size() const { return names_.size(); }

 private:
  std::vector<std::string> names_;
  std::unordered_map<std::string, uint32_t> map_;
};

inline constexpr std::string_view kUnknownLabel = "<unknown>";

}  // namespace zv
