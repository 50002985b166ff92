// ScalarIndex: an in-memory index from a field name and a whole field value
// to the ids of the nodes that carry it, in the order added (an id may repeat).
// Rebuilt from the stored nodes at open; every node write keeps it in step;
// the expiry purge reads it. Thread-safe: the map is split into shards by the
// hash of the field name, each behind its own reader-writer lock, and no
// operation holds two shard locks.
#pragma once

#include <array>
#include <optional>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "src/foundation/node_id.h"
#include "src/index/node_table.h"
#include "src/record/field_value.h"
#include "src/storage/posting_list.h"

namespace zv {

class ScalarIndex {
 public:
  static constexpr size_t kShards = 16;
  using ValueMap = FieldValueHashMap<PostingList>;

  void insert(std::string_view field, const FieldValue& value, NodeId id);
  // Removes every occurrence of the id; emptied lists and fields stay.
  void remove(std::string_view field, const FieldValue& value, NodeId id);
  // Removes the id from every list that holds it, through the per-node map
  // of its entries (no walk over the index); emptied lists are dropped.
  void remove_node(NodeId id);

  // The ids under (field, value), or none known: empty.
  std::vector<NodeId> lookup(std::string_view field, const FieldValue& value) const;
  // A copy of one field's value lists; none when the field was never seen.
  std::optional<std::vector<std::pair<FieldValue, std::vector<NodeId>>>> field_values(
      std::string_view field) const;
  bool has_field(std::string_view field) const;
  // Takes over the contents of `fresh` with its per-node entries, shard by
  // shard (each under its lock).
  void replace_with(ScalarIndex&& fresh);

 private:
  struct Shard {
    mutable std::shared_mutex mu;
    std::unordered_map<std::string, ValueMap> fields;
  };
  Shard& shard_of(std::string_view field);
  const Shard& shard_of(std::string_view field) const;
  std::array<Shard, kShards> shards_;
  // Node id -> the (field, value) entries that list it.
  struct NodeShard {
    std::mutex mu;
    std::unordered_map<NodeId, std::vector<std::pair<std::string, FieldValue>>, NodeIdHash> entries;
  };
  NodeShard& node_shard_of(NodeId id) { return node_shards_[NodeIdHash{}(id) % kShards]; }
  std::array<NodeShard, kShards> node_shards_;
};

}  // namespace zv
