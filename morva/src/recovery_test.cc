#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "morva/src/db.h"
#include "morva/src/journal/discovery.h"
#include "morva/src/testing/test_db.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "platform/testing/temp_dir.h"

namespace morva {
namespace {

using testing::create_db;
using testing::open_keyspace;
using testing::small_config;

std::string recovery_folder(const zv::testing::TempDir& dir) { return zv::fs::join(dir.path(), "db"); }

Database reopen_db(const std::string& folder, size_t workers = 1) {
  auto db = Database::open(small_config(folder, workers));
  if (!db.ok()) zv::panic("reopen: " + db.error().to_string());
  return std::move(db).value();
}

std::optional<std::string> read_key(const Database& db, std::string_view keyspace, std::string_view key) {
  auto v = open_keyspace(db, keyspace).get(key);
  EXPECT_TRUE(v.ok());
  return v.ok() ? *v : std::nullopt;
}

TEST(DatabaseRecover, ReopenBringsBackEveryWriteAndNumbersOnAbove) {
  zv::testing::TempDir dir;
  const std::string folder = recovery_folder(dir);
  tervik::SeqNo next = 0;
  {
    Database db = create_db(small_config(folder));
    Keyspace a = open_keyspace(db, "a");
    Keyspace b = open_keyspace(db, "b");
    ASSERT_TRUE(a.insert("k1", "v1").ok());
    ASSERT_TRUE(a.insert("k2", "v2").ok());
    ASSERT_TRUE(a.remove("k1").ok());
    Batch batch = db.batch();
    // The same key twice in one batch: the later item wins.
    batch.insert(b, "x", "first").insert(b, "x", "second").insert(a, "k3", std::string("\0\xff\x00", 3));
    ASSERT_TRUE(batch.commit().ok());
    next = db.seqno();
  }
  Database db = reopen_db(folder);
  EXPECT_EQ(db.seqno(), next);
  EXPECT_GE(db.visible_seqno(), db.seqno());
  EXPECT_EQ(read_key(db, "a", "k1"), std::nullopt);
  EXPECT_EQ(read_key(db, "a", "k2"), "v2");
  EXPECT_EQ(read_key(db, "a", "k3"), std::string("\0\xff\x00", 3));
  EXPECT_EQ(read_key(db, "b", "x"), "second");
  EXPECT_EQ(open_keyspace(db, "a").tree().index().active_memtable()->len(), 4u);
  EXPECT_GT(db.write_buffer_size(), 0u);
  // Writes go on after the replayed batches, numbered above them.
  ASSERT_TRUE(open_keyspace(db, "a").insert("k2", "new").ok());
  ASSERT_TRUE(db.persist(PersistMode::kSyncAll).ok());
  EXPECT_EQ(read_key(db, "a", "k2"), "new");
  const std::string journal = *db.state()->ctx->journal->active_path();
  EXPECT_EQ(zv::fs::file_name(journal), "0.jnl");
  EXPECT_EQ(testing::journal_batches(db).size(), 5u);
}

}  // namespace
}  // namespace morva
