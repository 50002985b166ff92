#include "src/sdk/testing/indexed_writes.h"

#include "platform/fs.h"
#include "src/record/node_key.h"
#include "src/sdk/record_index.h"

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
  text::RecordWriteLock gate(engine.index_locks.gate);
  ZV_ASSIGN_OR_RETURN(std::optional<MemoryRecord> old, stored_record(engine, record.node_id));
  ZV_TRY(engine.insert(record.into_node()));
  return apply_record_change(engine, old ? &*old : nullptr, &record);
}

ZolvaResult<bool> delete_indexed(StorageEngine& engine, NodeId id) {
  text::RecordWriteLock gate(engine.index_locks.gate);
  ZV_ASSIGN_OR_RETURN(std::optional<MemoryRecord> old, stored_record(engine, id));
  if (!old) return false;
  ZV_TRY(engine.delete_node(id, "test delete"));
  ZV_TRY(apply_record_change(engine, &*old, nullptr));
  return true;
}

ZolvaStatus put_node_only(StorageEngine& engine, const MemoryRecord& record) {
  return engine.insert(record.into_node());
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
