// Test support for opening databases in directory mode: a temporary database
// directory, the durable test backend under the key-value engine's kind, and
// log files written with the log's own writer. Test-only.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/fs.h"
#include "platform/testing/temp_dir.h"
#include "src/backends/testing/durable_test_backend.h"
#include "src/storage/checkpoint_store.h"
#include "src/storage/engine_open.h"
#include "src/storage/storage_engine.h"
#include "src/record/node_key.h"
#include "src/wal/wal_records.h"

namespace zv::testing {

inline constexpr const char* kDirBackendEnv = "ZV_TEST_DIR_BACKEND";

class OpenFixture : public ::testing::Test {
 protected:
  OpenFixture() {
    config.backend = BackendKind::kMorva;
    config.wal_shards = 4;
    seams.factories = durable_factory_table();
    // The same cases over the real key-value engine backend (a second ctest
    // entry sets this).
    if (const char* b = std::getenv(kDirBackendEnv); b != nullptr && std::string_view(b) == "morva")
      seams.factories = factory_registry();
  }

  std::string data_dir() const { return fs::join(db, kDataDirName); }
  std::string wal_path() const { return fs::join(data_dir(), kWalFileName); }

  ZolvaResult<std::shared_ptr<StorageEngine>> try_open(std::optional<Config> c = std::nullopt) {
    return StorageEngine::open(db, c ? *c : config, seams);
  }
  std::shared_ptr<StorageEngine> open_ok(std::optional<Config> c = std::nullopt) {
    auto e = try_open(c);
    EXPECT_TRUE(e.ok()) << (e.ok() ? "" : e.error().message());
    return e.ok() ? e.value() : nullptr;
  }

  // Appends the records to the log (created with `shards` shards) with the
  // log's own writer, as the writers of a crashed process left them.
  void write_log(uint64_t shards, const std::vector<WalRecord>& records) {
    ASSERT_TRUE(fs::create_dir_all(data_dir()).ok());
    auto log = wal::ShardedWal::open(wal_path(), shards, wal::sharded_wal_options(config));
    ASSERT_TRUE(log.ok()) << log.error().message();
    for (const WalRecord& r : records) ASSERT_TRUE(wal::append_record(**log, r).ok());
  }

  // Writes partition-8 entries straight into the durable backend's snapshot.
  void store_meta(std::string_view key, std::string_view value) {
    ASSERT_TRUE(fs::create_dir_all(db).ok());
    auto b = DurableTestBackend::open(db);
    ASSERT_TRUE(b.ok());
    ASSERT_TRUE(b.value()->put(Partition::kInternalMetadata, key, value).ok());
    ASSERT_TRUE(b.value()->flush().ok());
  }

  static EngineNode node(NodeId id, std::vector<float> v = {}) {
    EngineNode n = EngineNode::create(id);
    if (v.empty()) v = {1.0f, static_cast<float>(id % 97) + 1.0f, 0.5f};
    n.vector = VectorRepr::f32(std::move(v));
    n.set_field("k", FieldValue::string("v" + node_id_to_string(id)));
    return n;
  }

  TempDir dir;
  std::string db = dir.path();  // the database directory
  Config config;
  EngineOpenSeams seams;
};

}  // namespace zv::testing
