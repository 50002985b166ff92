// Test support for the SDK handle: a database directory opened through the
// durable test backend, records built from a few fields, and record writes
// made the way the SDK's writers make them (under the record's write stripe
// and the engine's index gate held shared: the engine write, then the record
// change). Test-only; thread-safe as the engine is.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/testing/temp_dir.h"
#include "src/backends/testing/durable_test_backend.h"
#include "src/record/memory_record.h"
#include "src/sdk/embedded_db.h"

namespace zv::sdk_testing {

// A record of namespace/key with the payload and metadata; its node id is
// the record's deterministic id.
MemoryRecord make_record(std::string ns, std::string key, std::string payload,
                         FieldMap metadata = {}, std::optional<SparseVector> sparse = {});

// Stores the record (replacing the stored one under its id) and applies the
// record change with the stored record, if any, as the old one.
ZolvaStatus put_indexed(StorageEngine& engine, const MemoryRecord& record);
// Deletes the stored record of the id and applies the record change; false
// when nothing was stored.
ZolvaResult<bool> delete_indexed(StorageEngine& engine, NodeId id);
// The engine write alone, without any index change (a write whose index
// change failed or has not run yet).
ZolvaStatus put_node_only(StorageEngine& engine, const MemoryRecord& record);

// Whether a record writer has left the engine's indexes in need of repair.
inline bool repair_marked(const StorageEngine& engine) {
  return engine.index_locks.repair_mark.is_set();
}

// Marks the three stored index states with a build time no rebuild writes;
// rebuilt_indexes then names those rebuilt since: "d" (derived), "t" (text),
// "s" (sparse), in that order.
void mark_index_states(StorageEngine& engine);
std::string rebuilt_indexes(StorageEngine& engine);

// Asserts that every index entry and state count equals what the stored
// records imply: the text partition byte for byte, the derived and sparse
// states against their partitions and the live records.
void expect_indexes_match_records(StorageEngine& engine);

// A temporary database directory opened through the durable test backend.
class DbFixture : public ::testing::Test {
 protected:
  DbFixture();

  ZolvaResult<EmbeddedDb> try_open(std::optional<Config> c = std::nullopt);
  // Opens (asserting success) and returns the handle.
  EmbeddedDb open_ok(std::optional<Config> c = std::nullopt);
  std::shared_ptr<StorageEngine> engine_of(const EmbeddedDb& db);

  zv::testing::TempDir dir;
  Config config;
  EngineOpenSeams seams;
};

}  // namespace zv::sdk_testing
