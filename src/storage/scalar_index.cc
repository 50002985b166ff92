#include "src/storage/scalar_index.h"

#include <algorithm>
#include <functional>
#include <mutex>

namespace zv {

ScalarIndex::Shard& ScalarIndex::shard_of(std::string_view field) {
  return shards_[std::hash<std::string_view>{}(field) % kShards];
}
const ScalarIndex::Shard& ScalarIndex::shard_of(std::string_view field) const {
  return shards_[std::hash<std::string_view>{}(field) % kShards];
}

void ScalarIndex::insert(std::string_view field, const FieldValue& value, NodeId id) {
  Shard& s = shard_of(field);
  std::unique_lock lock(s.mu);
  auto it = s.fields.find(std::string(field));
  if (it == s.fields.end()) it = s.fields.emplace(std::string(field), ValueMap{}).first;
  it->second[value].push_back(id);
  lock.unlock();
  NodeShard& n = node_shard_of(id);
  std::scoped_lock nl(n.mu);
  n.entries[id].emplace_back(std::string(field), value);
}

void ScalarIndex::remove(std::string_view field, const FieldValue& value, NodeId id) {
  Shard& s = shard_of(field);
  std::unique_lock lock(s.mu);
  auto it = s.fields.find(std::string(field));
  if (it == s.fields.end()) return;
  auto v = it->second.find(value);
  if (v == it->second.end()) return;
  auto& ids = v->second;
  ids.erase(std::remove(ids.begin(), ids.end(), id), ids.end());
  lock.unlock();
  NodeShard& n = node_shard_of(id);
  std::scoped_lock nl(n.mu);
  auto e = n.entries.find(id);
  if (e == n.entries.end()) return;
  FieldValueKeyEq eq;
  std::erase_if(e->second, [&](const auto& fv) { return fv.first == field && eq(fv.second, value); });
  if (e->second.empty()) n.entries.erase(e);
}

void ScalarIndex::remove_node(NodeId id) {
  std::vector<std::pair<std::string, FieldValue>> entries;
  {
    NodeShard& n = node_shard_of(id);
    std::scoped_lock nl(n.mu);
    auto e = n.entries.find(id);
    if (e == n.entries.end()) return;
    entries = std::move(e->second);
    n.entries.erase(e);
  }
  for (const auto& [field, value] : entries) {
    Shard& s = shard_of(field);
    std::unique_lock lock(s.mu);
    auto it = s.fields.find(field);
    if (it == s.fields.end()) continue;
    auto v = it->second.find(value);
    if (v == it->second.end()) continue;
    auto& ids = v->second;
    ids.erase(std::remove(ids.begin(), ids.end(), id), ids.end());
    if (ids.empty()) it->second.erase(v);
  }
}

std::vector<NodeId> ScalarIndex::lookup(std::string_view field, const FieldValue& value) const {
  const Shard& s = shard_of(field);
  std::shared_lock lock(s.mu);
  auto it = s.fields.find(std::string(field));
  if (it == s.fields.end()) return {};
  auto v = it->second.find(value);
  return v == it->second.end() ? std::vector<NodeId>{} : v->second;
}

std::optional<std::vector<std::pair<FieldValue, std::vector<NodeId>>>> ScalarIndex::field_values(
    std::string_view field) const {
  const Shard& s = shard_of(field);
  std::shared_lock lock(s.mu);
  auto it = s.fields.find(std::string(field));
  if (it == s.fields.end()) return std::nullopt;
  std::vector<std::pair<FieldValue, std::vector<NodeId>>> out(it->second.begin(),
                                                              it->second.end());
  return out;
}

bool ScalarIndex::has_field(std::string_view field) const {
  const Shard& s = shard_of(field);
  std::shared_lock lock(s.mu);
  return s.fields.count(std::string(field)) != 0;
}

void ScalarIndex::replace_with(ScalarIndex&& fresh) {
  for (size_t i = 0; i < kShards; ++i) {
    std::unordered_map<std::string, ValueMap> moved;
    {
      std::unique_lock<std::shared_mutex> g(fresh.shards_[i].mu);
      moved = std::move(fresh.shards_[i].fields);
    }
    std::unique_lock<std::shared_mutex> g(shards_[i].mu);
    shards_[i].fields.swap(moved);
  }
}

}  // namespace zv
