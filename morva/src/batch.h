// Batch: puts and deletes for any keyspaces of one database, committed
// atomically: one journal batch under one sequence number, then one
// memtable append per item, then one publication of the number to readers.
// An item's key and value lengths are checked when it is built, so a batch
// holding a bad item is refused whole before anything is numbered. A batch
// belongs to one thread; commits of different batches run in parallel.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "morva/src/error.h"
#include "morva/src/journal/writer.h"
#include "morva/src/keyspace.h"
#include "tervik/core/value_type.h"

namespace morva {

struct DatabaseState;

struct BatchItem {
  // Io (invalid input) for a key outside 1 to 65,535 bytes or a value of
  // 4 GiB or more.
  static MorvaResult<BatchItem> new_item(Keyspace keyspace, std::string_view key, std::string_view value,
                                         tervik::ValueType value_type);

  Keyspace keyspace;
  std::string key;
  std::string value;
  tervik::ValueType value_type = tervik::ValueType::kValue;
};

class Batch {
 public:
  explicit Batch(std::shared_ptr<DatabaseState> db) : db_(std::move(db)) {}

  // Adds a put, a delete or a weak delete; a refused item leaves the batch
  // refusing every commit (Io naming the length).
  Batch& insert(const Keyspace& keyspace, std::string_view key, std::string_view value);
  Batch& remove(const Keyspace& keyspace, std::string_view key);
  Batch& remove_weak(const Keyspace& keyspace, std::string_view key);
  Batch& add(MorvaResult<BatchItem> item);

  Batch& durability(PersistMode mode) {
    durability_ = mode;
    return *this;
  }

  size_t len() const { return items_.size(); }
  bool is_empty() const { return items_.empty() && !refused_; }

  // Commits the batch and empties it. An empty batch does nothing.
  MorvaStatus commit();

 private:
  std::shared_ptr<DatabaseState> db_;
  std::vector<BatchItem> items_;
  std::optional<MorvaError> refused_;
  PersistMode durability_ = PersistMode::kBuffer;
};

}  // namespace morva
