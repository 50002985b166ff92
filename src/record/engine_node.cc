#include "src/record/engine_node.h"

#include "src/record/validation.h"

namespace zv {

EngineNode EngineNode::create(NodeId id) {
  EngineNode n;
  n.id = id;
  n.last_accessed = record_now_ms();
  return n;
}

const FieldValue* EngineNode::get_field(std::string_view name) const {
  auto it = fields.find(name);
  return it == fields.end() ? nullptr : &it->second;
}

void EngineNode::set_field(std::string name, FieldValue value) {
  fields.insert_or_assign(std::move(name), std::move(value));
}

void EngineNode::add_edge(NodeId target, uint32_t label, float weight) {
  edges.push_back(NodeEdge{target, label, weight, false, record_now_ms()});
  label_index[label].push_back(target);
  flags |= kNodeFlagEdgesChanged;
}

uint32_t EdgeLabelTable::intern(std::string_view label) {
  if (auto id = find(label)) return *id;
  const auto id = static_cast<uint32_t>(names_.size());
  names_.emplace_back(label);
  map_.emplace(std::string(label), id);
  return id;
}

std::string_view EdgeLabelTable::name(uint32_t id) const {
  return id < names_.size() ? std::string_view(names_[id]) : kUnknownLabel;
}

std::optional<uint32_t> EdgeLabelTable::find(std::string_view label) const {
  auto it = map_.find(std::string(label));
  if (it == map_.end()) return std::nullopt;
  return it->second;
}

}  // namespace zv
