#include "morva/src/flush.h"

#include <gtest/gtest.h>

#include "morva/src/testing/test_db.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "platform/testing/temp_dir.h"

namespace morva {
namespace {

using testing::create_db;
using testing::open_keyspace;
using testing::seal;
using testing::small_config;

struct Flush : ::testing::Test {
  zv::testing::TempDir dir;
  Database db = [&] {
    DatabaseConfig c = small_config(zv::fs::join(dir.path(), "db"), 0);
    c.hooks.keyspace_options = [](std::string_view name) {
      KeyspaceCreateOptions o;
      if (name == "blobs") {
        tervik::KvSeparationOptions kv;
        kv.separation_threshold = 4096;
        kv.file_target_size = 64 << 20;
        o.kv_separation = kv;
      }
      return std::optional<KeyspaceCreateOptions>(o);
    };
    return create_db(std::move(c));
  }();
  Keyspace ks = open_keyspace(db, "default");

  MorvaStatus flush(const Keyspace& k) {
    return flush_sealed_memtables(k, *db.state()->ctx->write_buffer_size, *db.state()->ctx->snapshots);
  }
  // Every entry of the keyspace's tables, as "key@seqno:type".
  static std::vector<std::string> table_entries(const Keyspace& k) {
    std::vector<std::string> out;
    for (const tervik::Table& t : k.tree().index().current_version().tables()) {
      tervik::TableIter it = t.iter();
      while (tervik::ReadItem item = it.next()) {
        out.push_back(std::string((*item)->key.user_key.view()) + "@" + std::to_string((*item)->key.seqno) + ":" +
                      std::to_string(static_cast<int>((*item)->key.value_type)));
      }
    }
    return out;
  }
  size_t blob_files(const Keyspace& k) {
    auto names = zv::fs::list_dir(zv::fs::join(db.state()->config.path, "keyspaces/" + std::to_string(k.id()) + "/blobs"));
    return names.ok() ? names->size() : 0;
  }
};

TEST_F(Flush, NothingSealedWritesNothing) {
  ASSERT_TRUE(ks.insert("k", "v").ok());
  const uint64_t counter = db.write_buffer_size();
  const uint64_t version = ks.tree().index().current_version().id();
  ASSERT_TRUE(flush(ks).ok());
  EXPECT_EQ(ks.tree().index().current_version().id(), version);
  EXPECT_EQ(db.write_buffer_size(), counter);
}

TEST_F(Flush, OnlyTheNewestVersionAndTombstonesReachTheTable) {
  for (const char* v : {"1", "2", "3"}) {
    ASSERT_TRUE(ks.insert("k", v).ok());
    seal(ks);
  }
  ASSERT_TRUE(ks.remove("gone").ok());
  seal(ks);
  db.state()->ctx->snapshots->pullup();
  const tervik::SeqNo s = db.seqno();
  ASSERT_TRUE(flush(ks).ok());
  EXPECT_EQ(table_entries(ks), (std::vector<std::string>{"gone@" + std::to_string(s - 1) + ":1",
                                                          "k@" + std::to_string(s - 2) + ":0"}));
  EXPECT_EQ(ks.tree().index().sealed_memtable_count(), 0u);
  EXPECT_EQ(ks.get("k").value(), "3");
  EXPECT_EQ(db.write_buffer_size(), 0u);
}

TEST_F(Flush, CounterNeverGoesBelowZero) {
  ASSERT_TRUE(ks.insert("k", "v").ok());
  seal(ks);
  db.state()->ctx->write_buffer_size->store(5);
  ASSERT_TRUE(flush(ks).ok());
  EXPECT_EQ(db.write_buffer_size(), 0u);
}

TEST_F(Flush, FailedTableWriteKeepsTheSealedMemtables) {
  ASSERT_TRUE(ks.insert("k", "v").ok());
  seal(ks);
  const std::string tables = ks.tree().index().tables_folder();
  ASSERT_TRUE(zv::fs::remove_dir_all(tables).ok());
  ASSERT_TRUE(zv::fs::write_file(tables, "not a folder").ok());
  const uint64_t counter = db.write_buffer_size();
  auto st = flush(ks);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind(), MorvaErrorKind::kStorage);
  EXPECT_EQ(ks.tree().index().sealed_memtable_count(), 1u);
  EXPECT_EQ(db.write_buffer_size(), counter);
  EXPECT_EQ(ks.get("k").value(), "v");
}

TEST_F(Flush, BlobTreeSeparatesValuesFromTheThreshold) {
  Keyspace blobs = open_keyspace(db, "blobs");
  ASSERT_TRUE(blobs.tree().is_blob());
  const std::string small(4095, 's'), large(4096, 'l');
  ASSERT_TRUE(blobs.insert("small", small).ok());
  ASSERT_TRUE(blobs.insert("large", large).ok());
  seal(blobs);
  {
    zv::log::CaptureSink log;
    ASSERT_TRUE(flush(blobs).ok());
    EXPECT_TRUE(log.contains("Flushing memtable(s) and performing key-value separation, data_block_restart_interval="));
    EXPECT_FALSE(log.contains("Flushing memtable(s) to "));
  }
  const auto entries = table_entries(blobs);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_TRUE(entries[0].starts_with("large@") && entries[0].ends_with(":4")) << entries[0];
  EXPECT_TRUE(entries[1].starts_with("small@") && entries[1].ends_with(":0")) << entries[1];
  EXPECT_EQ(blob_files(blobs), 1u);
  EXPECT_EQ(blobs.get("large").value(), large);
  EXPECT_EQ(blobs.get("small").value(), small);

  ASSERT_TRUE(blobs.remove("small").ok());
  ASSERT_TRUE(blobs.remove("large").ok());
  seal(blobs);
  ASSERT_TRUE(flush(blobs).ok());
  EXPECT_EQ(blob_files(blobs), 1u);
  EXPECT_EQ(blobs.get("large").value(), std::nullopt);
}

}  // namespace
}  // namespace morva
