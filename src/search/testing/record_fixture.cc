#include "src/search/testing/record_fixture.h"

#include <gtest/gtest.h>

#include "src/record/node_codec.h"
#include "src/record/node_key.h"
#include "src/runtime/filter_bitset.h"
#include "src/storage/shred_record.h"
#include "src/text/derived_index.h"
#include "src/text/record_change.h"
#include "src/text/text_index_state.h"

namespace zv::search_testing {
namespace {

template <class T>
T expect_ok(ZolvaResult<T> r, const char* what) {
  EXPECT_TRUE(r.ok()) << what << ": " << (r.ok() ? "" : r.error().message());
  if (!r.ok()) return T{};
  return std::move(*r);
}

void expect_ok(ZolvaStatus s, const char* what) {
  EXPECT_TRUE(s.ok()) << what << ": " << (s.ok() ? "" : s.error().message());
}

}  // namespace

RecordFixture::RecordFixture() : RecordFixture(nullptr) {}

RecordFixture::RecordFixture(std::shared_ptr<StorageBackend> backend) {
  Config config;
  config.backend = BackendKind::kInMemory;
  EngineParts parts = StorageEngine::memory_mode_parts(std::move(config));
  if (backend) parts.backend = std::move(backend);
  engine_ = StorageEngine::assemble(std::move(parts));
  expect_ok(engine_->backend->put(Partition::kInternalMetadata, text::kTextIndexStateKey,
                                  text::TextIndexState::create(0, 0, 0, 0, 0).encode()),
            "text index state");
  expect_ok(engine_->backend->put(Partition::kInternalMetadata, text::kDerivedIndexStateKey,
                                  text::DerivedIndexState::create(0, 0, 0).encode()),
            "derived index state");
}

NodeId RecordFixture::put(std::string ns, std::string key, std::string payload, FieldMap metadata) {
  MemoryRecord r;
  r.ns = std::move(ns);
  r.key = std::move(key);
  r.payload = std::move(payload);
  r.metadata = std::move(metadata);
  r.created_at_ms = r.updated_at_ms = r.valid_at_ms = 1;
  r.version = 1;
  return put(std::move(r));
}

NodeId RecordFixture::put(MemoryRecord record, bool index_vector) {
  std::lock_guard gate(gate_);
  auto slot = live_.find({record.ns, record.key});
  std::optional<MemoryRecord> old;
  if (slot != live_.end()) {
    old = slot->second;
    if (record.node_id == 0) record.node_id = old->node_id;
  }
  if (record.node_id == 0) record.node_id = next_id_++;
  const bool existed = old && old->node_id == record.node_id;
  if (old && !existed) {
    index_change(&*old, nullptr);
    delete_node(old->node_id);
    old.reset();
  }
  write_node(record, existed, index_vector);
  index_change(old ? &*old : nullptr, &record);
  const NodeId id = record.node_id;
  live_.insert_or_assign({record.ns, record.key}, std::move(record));
  return id;
}

bool RecordFixture::remove(const std::string& ns, const std::string& key) {
  std::lock_guard gate(gate_);
  auto slot = live_.find({ns, key});
  if (slot == live_.end()) return false;
  index_change(&slot->second, nullptr);
  delete_node(slot->second.node_id);
  live_.erase(slot);
  return true;
}

std::optional<NodeId> RecordFixture::id_of(const std::string& ns, const std::string& key) const {
  std::lock_guard gate(gate_);
  auto slot = live_.find({ns, key});
  if (slot == live_.end()) return std::nullopt;
  return slot->second.node_id;
}

void RecordFixture::overwrite_node(const MemoryRecord& record) {
  write_node(record, engine_->vector_index()->contains(record.node_id));
}

void RecordFixture::write_node(const MemoryRecord& record, bool existed, bool index_vector) {
  StorageEngine& e = *engine_;
  const EngineNode node = record.into_node();
  uint64_t offset = 0;
  {
    auto lock = e.lock_segment0();
    EXPECT_TRUE(lock.ok());
    offset = expect_ok(e.segments[0]->file.append_node(node), "append node");
  }
  if (!index_vector) {
    // Reads find a node through the index: it is entered without a vector.
    e.vector_index()->remove(node.id);
    expect_ok(e.vector_index()->add(node.id, FilterBitset(node.bitset), VectorRepr::none(), offset),
              "index add");
  } else if (existed && e.vector_index()->contains(node.id)) {
    EXPECT_TRUE(e.vector_index()->set_storage_offset(node.id, offset));
  } else {
    expect_ok(e.vector_index()->add(node.id, FilterBitset(node.bitset), node.vector, offset),
              "index add");
  }
  expect_ok(e.backend->put(Partition::kDefault, node_key(node.id),
                           encode_node_metadata(node_metadata_of(node, 1))),
            "node put");
  e.node_cache.remove(node.id);
}

void RecordFixture::delete_node(NodeId id) {
  StorageEngine& e = *engine_;
  expect_ok(e.backend->del(Partition::kDefault, node_key(id)), "node delete");
  e.vector_index()->remove(id);
  e.node_cache.remove(id);
}

// The one place the indexes are written: the record change every writer
// runs after its engine write, under the engine's index gate.
void RecordFixture::index_change(const MemoryRecord* old_record, const MemoryRecord* new_record) {
  StorageEngine& e = *engine_;
  text::RecordWriteLock index_gate(e.index_locks.gate);
  expect_ok(text::apply_record_change(
                text::TextIndexTarget{*e.backend, e, e.text_stats, e.index_locks}, old_record,
                new_record),
            "record change");
  // What the SDK's put keeps beside the indexes: the shred record and the
  // field statistics.
  if (old_record) {
    expect_ok(shred_record::del(old_record->node_id, *e.backend), "shred delete");
    std::unique_lock lock(e.field_stats.mu);
    e.field_stats.value.remove_node(old_record->into_node());
  }
  if (new_record) {
    expect_ok(shred_record::put(new_record->node_id, new_record->metadata, *e.backend), "shred put");
    std::unique_lock lock(e.field_stats.mu);
    e.field_stats.value.add_node(new_record->into_node());
  }
}

}  // namespace zv::search_testing
