#include <algorithm>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "morva/src/db.h"
#include "morva/src/flush.h"
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

TEST(DatabaseRecover, MarkerAndLock) {
  zv::testing::TempDir dir;
  const std::string folder = recovery_folder(dir);
  const std::string marker = zv::fs::join(folder, "version");
  {
    Database first = create_db(small_config(folder));
    ASSERT_TRUE(open_keyspace(first, "a").insert("k", "v").ok());
    // The marker is checked before the lock is tried: V2 is refused even
    // while the folder is locked.
    ASSERT_TRUE(zv::fs::write_file(marker, std::string("MRV\x02", 4)).ok());
    auto v2 = Database::open(small_config(folder));
    ASSERT_FALSE(v2.ok());
    EXPECT_EQ(v2.error().to_string(), "MorvaError: InvalidVersion(Some(V2))");
    ASSERT_TRUE(zv::fs::write_file(marker, std::string("MRV\x03", 4)).ok());
    const auto start = std::chrono::steady_clock::now();
    auto second = Database::open(small_config(folder));
    ASSERT_FALSE(second.ok());
    EXPECT_EQ(second.error().to_string(), "MorvaError: Locked");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    ASSERT_TRUE(open_keyspace(first, "a").insert("k2", "v2").ok());
    EXPECT_EQ(read_key(first, "a", "k"), "v");
  }
  Database again = reopen_db(folder);
  EXPECT_EQ(read_key(again, "a", "k2"), "v2");
}

TEST(DatabaseRecover, MissingLockFileIsAnIoError) {
  zv::testing::TempDir dir;
  const std::string folder = recovery_folder(dir);
  { Database db = create_db(small_config(folder)); }
  ASSERT_TRUE(zv::fs::remove_file(zv::fs::join(folder, "lock")).ok());
  auto db = Database::open(small_config(folder));
  ASSERT_FALSE(db.ok());
  EXPECT_EQ(db.error().kind(), MorvaErrorKind::kIo);
  EXPECT_FALSE(zv::fs::exists(zv::fs::join(folder, "lock")));
}

// Stored data whose journals are gone still numbers new writes above it:
// otherwise a new write would hide below the stored value and reads at the
// visible number would see nothing at all.
TEST(DatabaseRecover, CountersComeFromTheTreesWhenNoJournalIsLeft) {
  zv::testing::TempDir dir;
  const std::string folder = recovery_folder(dir);
  tervik::SeqNo highest = 0;
  {
    Database db = create_db(small_config(folder, 0));
    Keyspace a = open_keyspace(db, "a");
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(a.insert("k", "old" + std::to_string(i)).ok());
    testing::seal(a);
    ASSERT_TRUE(flush_sealed_memtables(a, *db.state()->ctx->write_buffer_size, *db.state()->ctx->snapshots).ok());
    highest = *a.tree().index().get_highest_seqno();
  }
  ASSERT_TRUE(zv::fs::remove_file(zv::fs::join(folder, "0.jnl")).ok());
  Database db = reopen_db(folder);
  EXPECT_TRUE(zv::fs::is_file(zv::fs::join(folder, "1.jnl")));
  EXPECT_EQ(db.seqno(), highest + 1);
  EXPECT_GE(db.visible_seqno(), db.seqno());
  EXPECT_EQ(read_key(db, "a", "k"), "old19");
  ASSERT_TRUE(open_keyspace(db, "a").insert("k", "new").ok());
  EXPECT_EQ(read_key(db, "a", "k"), "new");
}

TEST(DatabaseRecover, PendingFlushesAndCompactionsAreQueuedAndRun) {
  zv::testing::TempDir dir;
  const std::string folder = recovery_folder(dir);
  {
    Database db = create_db(small_config(folder, 0));
    Keyspace tables = open_keyspace(db, "tables");
    (void)open_keyspace(db, "sealed");
    (void)open_keyspace(db, "empty");
    ASSERT_TRUE(tables.insert("t", "1").ok());
    testing::seal(tables);
    ASSERT_TRUE(flush_sealed_memtables(tables, *db.state()->ctx->write_buffer_size, *db.state()->ctx->snapshots).ok());
    ASSERT_TRUE(open_keyspace(db, "sealed").insert("s", "1").ok());
    ASSERT_TRUE(open_keyspace(db, "empty").insert("e", "1").ok());
    ASSERT_TRUE(open_keyspace(db, "empty").remove("e").ok());
    testing::rotate_journal_now(db);
    ASSERT_TRUE(open_keyspace(db, "empty").insert("after", "1").ok());
  }
  {
    // Without workers the messages stay in the channel to be counted.
    Database db = reopen_db(folder, 0);
    EXPECT_EQ(open_keyspace(db, "sealed").tree().index().sealed_memtable_count(), 1u);
    WorkerReceiver rx = db.state()->pool.receiver();
    std::vector<std::string> messages;
    while (auto m = rx.try_recv()) messages.push_back(m->to_string());
    std::sort(messages.begin(), messages.end());
    EXPECT_EQ(messages, (std::vector<std::string>{"WorkerMessage:Compact(tables)", "WorkerMessage:Flush",
                                                  "WorkerMessage:Flush"}));
    std::vector<std::string> tasks;
    while (auto t = db.state()->ctx->flush_rx.try_recv()) tasks.push_back((*t)->keyspace->name());
    std::sort(tasks.begin(), tasks.end());
    EXPECT_EQ(tasks, (std::vector<std::string>{"empty", "sealed"}));
  }
  Database db = reopen_db(folder, 1);
  Keyspace sealed = open_keyspace(db, "sealed");
  for (int i = 0; i < 500 && (sealed.tree().index().sealed_memtable_count() > 0 ||
                              zv::fs::exists(zv::fs::join(folder, "0.jnl")));
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(sealed.tree().index().sealed_memtable_count(), 0u);
  // The flushed table may already have been compacted out of level 0.
  EXPECT_EQ(sealed.tree().index().current_version().table_count(), 1u);
  EXPECT_FALSE(zv::fs::exists(zv::fs::join(folder, "0.jnl")));
  EXPECT_EQ(read_key(db, "sealed", "s"), "1");
  EXPECT_EQ(read_key(db, "empty", "after"), "1");
  EXPECT_EQ(read_key(db, "empty", "e"), std::nullopt);
  ASSERT_TRUE(sealed.insert("s2", "2").ok());
  ASSERT_TRUE(db.persist(PersistMode::kSyncAll).ok());
  EXPECT_FALSE(db.is_poisoned());
}

}  // namespace
}  // namespace morva
