#include "src/storage/field_stats.h"

namespace zv {

namespace {

// The texts a value counts under: the record model's text forms, except that
// a Null value has none (its field entry is still created).
std::vector<std::string> value_texts(const FieldValue& v) {
  if (v.is_null()) return {};
  return v.to_strings();
}

}  // namespace

const FieldStats::ValueCounts* FieldStats::field(const std::string& name) const {
  auto it = fields_.find(name);
  return it == fields_.end() ? nullptr : &it->second;
}

void FieldStats::count_node(const EngineNode& node) {
  for (const auto& [name, value] : node.fields) {
    auto it = fields_.find(name);
    if (it == fields_.end()) it = fields_.emplace(name, ValueCounts{}).first;
    ValueCounts& counts = it->second;
    for (std::string& text : value_texts(value)) {
      if (counts.size() < kMaxValuesPerField) {
        auto [pos, inserted] = counts.try_emplace(std::move(text), 0);
        if (inserted) ++total_;
        ++pos->second;
      } else if (auto pos = counts.find(text); pos != counts.end()) {
        ++pos->second;
      }
    }
  }
}

void FieldStats::add_node(const EngineNode& node) {
  count_node(node);
  trim();
}

void FieldStats::remove_node(const EngineNode& node) {
  for (const auto& [name, value] : node.fields) {
    auto it = fields_.find(name);
    if (it == fields_.end()) continue;
    ValueCounts& counts = it->second;
    for (const std::string& text : value_texts(value)) {
      auto pos = counts.find(text);
      if (pos != counts.end() && pos->second > 0) --pos->second;
    }
    for (auto pos = counts.begin(); pos != counts.end();) {
      if (pos->second == 0) {
        pos = counts.erase(pos);
        --total_;
      } else {
        ++pos;
      }
    }
  }
}

void FieldStats::trim() {
  if (total_ <= kMaxTotalValues) return;
  auto smallest = fields_.end();
  for (auto it = fields_.begin(); it != fields_.end(); ++it)
    if (smallest == fields_.end() || it->second.size() < smallest->second.size()) smallest = it;
  if (smallest == fields_.end()) return;
  total_ -= smallest->second.size();
  fields_.erase(smallest);
}

}  // namespace zv
