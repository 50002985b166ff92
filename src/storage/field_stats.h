// FieldStats: for each metadata field name, how often each value text occurs
// among the stored nodes; the query planner's selectivity estimate reads it.
// In memory only, rebuilt at open, bounded: a field admits at most 100
// distinct texts and the whole structure drops its smallest field when it
// holds more than 10,000. Not thread-safe: the engine guards it with a
// reader-writer lock held for writing across every update sequence.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "src/record/engine_node.h"
#include "src/record/field_value.h"
#include "src/record/validation.h"

namespace zv {

class StorageEngine;

class FieldStats {
 public:
  static constexpr size_t kMaxValuesPerField = 100;
  static constexpr size_t kMaxTotalValues = 10000;

  using ValueCounts = std::unordered_map<std::string, uint64_t>;

  // Counts the node's value texts, then trims.
  void add_node(const EngineNode& node);
  // Counts without trimming (batch insert and open trim once at the end).
  void count_node(const EngineNode& node);
  // Uncounts the node's value texts and drops texts whose count is 0.
  void remove_node(const EngineNode& node);
  // Drops the field with the fewest texts when the total exceeds the limit.
  void trim();

  // The estimated fraction of the nodes for which `field op value` holds,
  // from the engine's statistics and the size of its current vector index,
  // read together under the statistics' read lock. Not clamped: statistics
  // that count more nodes than the index holds give more than 1.0. Lists are
  // looked up by their first element; Null and empty lists as "null".
  static float selectivity(const StorageEngine& engine, const std::string& field, FilterOp op,
                           const FieldValue& value);

  const std::unordered_map<std::string, ValueCounts>& fields() const { return fields_; }
  const ValueCounts* field(const std::string& name) const;
  size_t total_values() const { return total_; }

 private:
  std::unordered_map<std::string, ValueCounts> fields_;
  size_t total_ = 0;  // sum of the value maps' sizes
};

}  // namespace zv
