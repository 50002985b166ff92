#include "src/search/testing/record_fixture.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "src/record/node_codec.h"
#include "src/record/node_key.h"
#include "src/runtime/filter_bitset.h"
#include "src/storage/shred_record.h"
#include "src/text/derived_index.h"
#include "src/text/sparse_index.h"
#include "src/text/text_codecs.h"
#include "src/text/text_index_state.h"
#include "src/text/text_keys.h"
#include "src/text/text_stats.h"
#include "src/text/text_stats_cache.h"
#include "src/text/text_tokenizer.h"

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
  std::optional<std::string> old_payload;
  std::optional<MemoryRecord> old_record;
  if (slot != live_.end()) {
    old_payload = slot->second.record.payload;
    old_record = slot->second.record;
    if (record.node_id == 0) record.node_id = slot->second.id;
  }
  if (record.node_id == 0) record.node_id = next_id_++;
  const bool existed = slot != live_.end() && slot->second.id == record.node_id;
  if (slot != live_.end() && !existed) {
    index_change(record.ns, record.key, slot->second.id, old_payload, std::nullopt);
    side_change(&*old_record, nullptr);
    delete_node(slot->second.id);
    old_payload.reset();
    old_record.reset();
  }
  write_node(record, existed, index_vector);
  index_change(record.ns, record.key, record.node_id, old_payload, record.payload);
  side_change(old_record ? &*old_record : nullptr, &record);
  const NodeId id = record.node_id;
  Live& live = live_[{record.ns, record.key}];
  live = Live{id, std::move(record)};
  return id;
}

bool RecordFixture::remove(const std::string& ns, const std::string& key) {
  std::lock_guard gate(gate_);
  auto slot = live_.find({ns, key});
  if (slot == live_.end()) return false;
  index_change(ns, key, slot->second.id, slot->second.record.payload, std::nullopt);
  side_change(&slot->second.record, nullptr);
  delete_node(slot->second.id);
  live_.erase(slot);
  return true;
}

std::optional<NodeId> RecordFixture::id_of(const std::string& ns, const std::string& key) const {
  std::lock_guard gate(gate_);
  auto slot = live_.find({ns, key});
  if (slot == live_.end()) return std::nullopt;
  return slot->second.id;
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

void RecordFixture::side_change(const MemoryRecord* old_record, const MemoryRecord* new_record) {
  StorageEngine& e = *engine_;
  std::vector<BatchOp> ops;
  if (old_record) {
    auto del = expect_ok(text::derived_index_delete_ops(*old_record), "derived deletes");
    ops.insert(ops.end(), del.begin(), del.end());
    auto sparse = text::sparse_posting_delete_ops(*old_record);
    ops.insert(ops.end(), sparse.begin(), sparse.end());
    expect_ok(shred_record::del(old_record->node_id, *e.backend), "shred delete");
    std::unique_lock lock(e.field_stats.mu);
    e.field_stats.value.remove_node(old_record->into_node());
  }
  if (new_record) {
    auto put = expect_ok(text::derived_index_put_ops(*new_record), "derived puts");
    ops.insert(ops.end(), put.begin(), put.end());
    auto sparse = expect_ok(text::sparse_posting_put_ops(*new_record), "sparse puts");
    ops.insert(ops.end(), sparse.begin(), sparse.end());
    expect_ok(shred_record::put(new_record->node_id, new_record->metadata, *e.backend), "shred put");
    std::unique_lock lock(e.field_stats.mu);
    e.field_stats.value.add_node(new_record->into_node());
  }
  if (!ops.empty()) expect_ok(e.backend->write_batch(std::move(ops)), "side index batch");
}

// The one place the text index is written; it reads the statistics it moves
// straight from the backend, under the gate.
void RecordFixture::index_change(const std::string& ns, const std::string& key, NodeId id,
                                 const std::optional<std::string>& old_payload,
                                 const std::optional<std::string>& new_payload) {
  StorageBackend& backend = *engine_->backend;
  const text::TextTokenStats before = old_payload ? text::token_stats(*old_payload) : text::TextTokenStats{};
  const text::TextTokenStats after = new_payload ? text::token_stats(*new_payload) : text::TextTokenStats{};
  std::vector<BatchOp> ops;
  std::set<std::string, std::less<>> tokens;
  for (const auto& [t, tf] : before.term_frequencies) tokens.insert(t);
  for (const auto& [t, tf] : after.term_frequencies) tokens.insert(t);
  for (const std::string& t : tokens) {
    const bool was = before.term_frequencies.contains(t);
    auto now = after.term_frequencies.find(t);
    const bool is = now != after.term_frequencies.end();
    if (is) {
      ops.push_back(BatchOp::put(Partition::kTextIndex, text::posting_key(ns, t, key),
                                 text::encode_text_posting(id, now->second, after.positions.at(t))));
    } else {
      ops.push_back(BatchOp::del(Partition::kTextIndex, text::posting_key(ns, t, key)));
    }
    if (was == is) continue;
    const std::string stats_key = text::term_stats_key(ns, t);
    auto stored = expect_ok(backend.get(Partition::kTextIndex, stats_key), "term stats");
    uint64_t df = stored ? expect_ok(text::decode_term_stats(*stored), "term stats").df : 0;
    df = text::saturating_stat_add(df, is ? 1 : -1);
    ops.push_back(df == 0 ? BatchOp::del(Partition::kTextIndex, stats_key)
                          : BatchOp::put(Partition::kTextIndex, stats_key, text::encode_term_stats(df)));
  }
  if (new_payload) {
    ops.push_back(BatchOp::put(Partition::kTextIndex, text::doc_stats_key(ns, key),
                               text::encode_doc_stats(id, after.doc_len)));
  } else {
    ops.push_back(BatchOp::del(Partition::kTextIndex, text::doc_stats_key(ns, key)));
  }
  const std::string ns_key = text::namespace_stats_key(ns);
  auto stored = expect_ok(backend.get(Partition::kTextIndex, ns_key), "namespace stats");
  text::TextNamespaceStats s =
      stored ? expect_ok(text::decode_namespace_stats(*stored), "namespace stats") : text::TextNamespaceStats{};
  s.doc_count = text::saturating_stat_add(s.doc_count, (new_payload ? 1 : 0) - (old_payload ? 1 : 0));
  s.total_doc_len = text::saturating_stat_add(s.total_doc_len, int64_t{after.doc_len} - int64_t{before.doc_len});
  ops.push_back(BatchOp::put(Partition::kTextIndex, ns_key,
                             text::encode_namespace_stats(s.doc_count, s.total_doc_len)));
  std::vector<BatchOp> copy = ops;
  expect_ok(backend.write_batch(std::move(copy)), "text index batch");
  text::refresh_stats_caches(engine_->text_stats, ops);
}

}  // namespace zv::search_testing
