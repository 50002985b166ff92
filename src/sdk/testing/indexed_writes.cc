#include "src/sdk/testing/indexed_writes.h"

#include <map>

#include "platform/fs.h"
#include "src/record/node_key.h"
#include "src/sdk/record_index.h"
#include "src/text/derived_index.h"
#include "src/text/index_check.h"
#include "src/text/sparse_index.h"
#include "src/text/text_index_state.h"

namespace zv::sdk_testing {

MemoryRecord make_record(std::string ns, std::string key, std::string payload, FieldMap metadata,
                         std::optional<SparseVector> sparse) {
  MemoryRecord r;
  r.ns = std::move(ns);
  r.key = std::move(key);
  r.node_id = record_node_id(r.ns, r.key);
  r.payload = std::move(payload);
  r.metadata = std::move(metadata);
  r.sparse_vector = std::move(sparse);
  r.created_at_ms = r.updated_at_ms = r.valid_at_ms = 1;
  r.version = 1;
  return r;
}

namespace {

ZolvaResult<std::optional<MemoryRecord>> stored_record(StorageEngine& engine, NodeId id) {
  ZV_ASSIGN_OR_RETURN(std::optional<EngineNode> node, engine.get(id));
  if (!node) return std::optional<MemoryRecord>();
  return MemoryRecord::from_node(*node, /*exclude_expired=*/false);
}

}  // namespace

ZolvaStatus put_indexed(StorageEngine& engine, const MemoryRecord& record) {
  text::RecordWriteGuard guard(engine.index_locks, record.node_id);
  ZV_ASSIGN_OR_RETURN(std::optional<MemoryRecord> old, stored_record(engine, record.node_id));
  ZV_TRY(engine.insert(record.into_node()));
  return apply_record_change(engine, old ? &*old : nullptr, &record);
}

ZolvaResult<bool> delete_indexed(StorageEngine& engine, NodeId id) {
  text::RecordWriteGuard guard(engine.index_locks, id);
  ZV_ASSIGN_OR_RETURN(std::optional<MemoryRecord> old, stored_record(engine, id));
  if (!old) return false;
  ZV_TRY(engine.delete_node(id, "test delete"));
  ZV_TRY(apply_record_change(engine, &*old, nullptr));
  return true;
}

ZolvaStatus put_node_only(StorageEngine& engine, const MemoryRecord& record) {
  return engine.insert(record.into_node());
}

namespace {
constexpr uint64_t kMarkedBuildTime = 12345;
}  // namespace

void mark_index_states(StorageEngine& e) {
  auto d = text::DerivedIndexState::read(*e.backend);
  auto t = text::TextIndexState::read(*e.backend);
  auto s = text::SparseIndexState::read(*e.backend);
  ASSERT_TRUE(d.ok() && d->has_value() && t.ok() && t->has_value() && s.ok() && s->has_value());
  (*d)->built_at_ms = (*t)->built_at_ms = (*s)->built_at_ms = kMarkedBuildTime;
  ASSERT_TRUE(text::DerivedIndexState::write(e, **d).ok());
  ASSERT_TRUE(text::TextIndexState::write(e, **t).ok());
  ASSERT_TRUE(text::SparseIndexState::write(e, **s).ok());
}

std::string rebuilt_indexes(StorageEngine& e) {
  std::string out;
  auto d = text::DerivedIndexState::read(*e.backend);
  auto t = text::TextIndexState::read(*e.backend);
  auto s = text::SparseIndexState::read(*e.backend);
  if (!d.ok() || !*d || (*d)->built_at_ms != kMarkedBuildTime) out += "d";
  if (!t.ok() || !*t || (*t)->built_at_ms != kMarkedBuildTime) out += "t";
  if (!s.ok() || !*s || (*s)->built_at_ms != kMarkedBuildTime) out += "s";
  return out;
}

void expect_indexes_match_records(StorageEngine& e) {
  auto collected = collect_text_index_entries(e, std::nullopt);
  ASSERT_TRUE(collected.ok());
  auto pairs = e.backend->scan_all(Partition::kTextIndex);
  ASSERT_TRUE(pairs.ok());
  std::map<std::string, std::string> stored;
  for (auto& kv : *pairs) stored.emplace(kv.key, kv.value);
  EXPECT_EQ(stored.size(), collected->expected_entries.size());
  EXPECT_TRUE(stored == collected->expected_entries);
  auto nodes = e.scan_all_nodes();
  ASSERT_TRUE(nodes.ok());
  const text::ExpectedIndexCounts want = text::count_expected_entries(*nodes, record_now_ms());
  const auto t = **text::TextIndexState::read(*e.backend);
  EXPECT_EQ(t.record_count, want.text_records);
  EXPECT_EQ(t.posting_entries, want.postings);
  EXPECT_EQ(t.term_stats_entries, want.term_stats);
  EXPECT_EQ(t.namespace_stats_entries, want.namespace_stats);
  const auto d = **text::DerivedIndexState::read(*e.backend);
  EXPECT_EQ(d.record_count, want.live_records);
  EXPECT_EQ(d.namespace_entries, *text::count_pairs(*e.backend, Partition::kNamespaceIndex));
  EXPECT_EQ(d.payload_entries, *text::count_pairs(*e.backend, Partition::kPayloadIndex));
  const auto s = **text::SparseIndexState::read(*e.backend);
  EXPECT_EQ(s.record_count, want.live_records);
  EXPECT_EQ(s.posting_entries, want.sparse_postings);
  EXPECT_EQ(*text::count_pairs(*e.backend, Partition::kSparseIndex), want.sparse_postings);
}

DbFixture::DbFixture() {
  config.storage_path = dir.path();
  config.backend = BackendKind::kMorva;
  seams.factories = zv::testing::durable_factory_table();
}

ZolvaResult<EmbeddedDb> DbFixture::try_open(std::optional<Config> c) {
  return EmbeddedDb::open_with_config(c ? *c : config, seams);
}

EmbeddedDb DbFixture::open_ok(std::optional<Config> c) {
  auto db = try_open(c);
  if (!db.ok()) {
    ADD_FAILURE() << "open: " << db.error().message();
    std::abort();
  }
  return std::move(db).value();
}

std::shared_ptr<StorageEngine> DbFixture::engine_of(const EmbeddedDb& db) {
  auto e = db.engine();
  EXPECT_TRUE(e.ok());
  return e.ok() ? *e : nullptr;
}

}  // namespace zv::sdk_testing
