#include "src/storage/scalar_index.h"

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
  it->second[value].add(id);
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
  v->second.remove(id);
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
    v->second.remove(id);
    if (v->second.empty()) it->second.erase(v);
  }
}

std::vector<NodeId> ScalarIndex::lookup(std::string_view field, const FieldValue& value) const {
  const Shard& s = shard_of(field);
  std::shared_lock lock(s.mu);
  auto it = s.fields.find(std::string(field));
  if (it == s.fields.end()) return {};
  auto v = it->second.find(value);
  return v == it->second.end() ? std::vector<NodeId>{} : v->second.ids();
}

std::optional<std::vector<std::pair<FieldValue, std::vector<NodeId>>>> ScalarIndex::field_values(
    std::string_view field) const {
  const Shard& s = shard_of(field);
  std::shared_lock lock(s.mu);
  auto it = s.fields.find(std::string(field));
  if (it == s.fields.end()) return std::nullopt;
  std::vector<std::pair<FieldValue, std::vector<NodeId>>> out;
  out.reserve(it->second.size());
  for (const auto& [value, list] : it->second) out.emplace_back(value, list.ids());
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
  // The per-node entries move too, or a delete after the swap would find no
  // entries for the nodes the fresh index lists.
  for (size_t i = 0; i < kShards; ++i) {
    decltype(NodeShard::entries) moved;
    {
      std::scoped_lock g(fresh.node_shards_[i].mu);
      moved = std::move(fresh.node_shards_[i].entries);
    }
    std::scoped_lock g(node_shards_[i].mu);
    node_shards_[i].entries.swap(moved);
  }
}

}  // namespace zv
