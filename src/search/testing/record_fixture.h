// Stores memory records into a memory-mode engine for the search tests: the
// node in segment 0, the vector index and partition 0, then the record change
// that keeps every index in step (derived, text and sparse entries and
// statistics), the record's shred record and the engine's field statistics,
// under one gate so that a put and its index change stay
// together when writers run on several threads.
// Test-only; thread-safe (writers serialise on the gate, readers never take it).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "src/record/memory_record.h"
#include "src/storage/storage_engine.h"

namespace zv::search_testing {

class RecordFixture {
 public:
  // A memory-mode engine with a compatible text index state stored.
  RecordFixture();
  // The same over the given backend (a wrapper that counts or injects).
  explicit RecordFixture(std::shared_ptr<StorageBackend> backend);

  StorageEngine& engine() { return *engine_; }
  std::shared_ptr<StorageEngine> shared_engine() { return engine_; }

  // Stores the record (node id, namespace and key taken from it; a zero id
  // gets the next free one) replacing any record under (ns, key), and
  // indexes its payload. Returns the node id.
  // Without `index_vector` the vector stays out of the vector index (one the
  // index would refuse: an all-zero vector under cosine, another length).
  NodeId put(MemoryRecord record, bool index_vector = true);
  NodeId put(std::string ns, std::string key, std::string payload, FieldMap metadata = {});
  // Deletes the node of (ns, key) and its text entries; false when absent.
  bool remove(const std::string& ns, const std::string& key);
  std::optional<NodeId> id_of(const std::string& ns, const std::string& key) const;

  // Writes the stored node only (the index keeps what it holds): a record
  // made inconsistent on purpose, e.g. moved to another namespace.
  void overwrite_node(const MemoryRecord& record);
  // Deletes the node only; its text entries stay.
  void delete_node(NodeId id);

 private:
  void write_node(const MemoryRecord& record, bool existed, bool index_vector = true);
  // The index change of one record: old record (none for an insert), new
  // record (none for a delete).
  void index_change(const MemoryRecord* old_record, const MemoryRecord* new_record);

  std::shared_ptr<StorageEngine> engine_;
  mutable std::mutex gate_;
  std::map<std::pair<std::string, std::string>, MemoryRecord> live_;
  NodeId next_id_ = 1;
};

}  // namespace zv::search_testing
