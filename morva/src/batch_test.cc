#include "morva/src/batch.h"

#include <gtest/gtest.h>

#include "morva/src/testing/test_db.h"
#include "platform/fs.h"
#include "platform/testing/faulty_file_system.h"
#include "platform/testing/temp_dir.h"

namespace morva {
namespace {

using testing::create_db;
using testing::open_keyspace;
using testing::small_config;

struct BatchCommit : ::testing::Test {
  zv::testing::TempDir dir;
  zv::testing::FaultyFileSystem fs;
  Database db = [&] {
    DatabaseConfig c = small_config(zv::fs::join(dir.path(), "db"), 0);
    c.journal_fs = &fs;
    c.hooks.keyspace_options = [](std::string_view name) {
      KeyspaceCreateOptions o;
      if (name == "small") o.max_memtable_size = 200;
      return std::optional<KeyspaceCreateOptions>(o);
    };
    return create_db(std::move(c));
  }();
  Keyspace a = open_keyspace(db, "a");
  Keyspace b = open_keyspace(db, "b");
};

TEST_F(BatchCommit, EmptyBatchTouchesNothingEvenWhenPoisoned) {
  const tervik::SeqNo s = db.seqno();
  const uint64_t writes = fs.calls(zv::testing::FaultOp::kWrite);
  EXPECT_TRUE(db.batch().commit().ok());
  db.state()->poisoned->store(true);
  EXPECT_TRUE(db.batch().commit().ok());
  EXPECT_EQ(db.seqno(), s);
  EXPECT_EQ(fs.calls(zv::testing::FaultOp::kWrite), writes);
}

TEST_F(BatchCommit, ItemsOfTwoKeyspacesShareOneNumber) {
  const tervik::SeqNo s = db.seqno();
  ASSERT_TRUE(db.batch().insert(a, "x", "1").insert(b, "y", "2").remove(a, "z").commit().ok());
  EXPECT_EQ(db.seqno(), s + 1);
  EXPECT_EQ(db.visible_seqno(), s + 1);
  const auto batches = testing::journal_batches(db);
  ASSERT_EQ(batches.size(), 1u);
  EXPECT_EQ(batches[0].seqno, s);
  ASSERT_EQ(batches[0].items.size(), 3u);
  EXPECT_EQ(batches[0].items[1].keyspace_id, b.id());
  EXPECT_EQ(batches[0].items[2].value_type, tervik::ValueType::kTombstone);
  EXPECT_EQ(a.get("x", s + 1).value(), "1");
  EXPECT_EQ(b.get("y", s + 1).value(), "2");
  EXPECT_EQ(a.get("x", s).value(), std::nullopt);
}

TEST_F(BatchCommit, LaterPutOfOneKeyWins) {
  ASSERT_TRUE(db.batch().insert(a, "k", "first").insert(a, "k", "second").commit().ok());
  EXPECT_EQ(a.get("k").value(), "second");
}

TEST_F(BatchCommit, RotationRequestedOncePerKeyspace) {
  Keyspace small = open_keyspace(db, "small");
  WorkerReceiver rx = db.state()->pool.receiver();
  Batch batch = db.batch();
  for (int i = 0; i < 10; ++i) batch.insert(small, "key" + std::to_string(i), "value");
  batch.insert(a, "other", "v");
  ASSERT_TRUE(batch.commit().ok());
  ASSERT_EQ(rx.len(), 1u);
  EXPECT_EQ(rx.try_recv()->keyspace->name(), "small");
}

TEST_F(BatchCommit, JournalFailurePoisonsAndReadsGoOn) {
  ASSERT_TRUE(a.insert("kept", "v").ok());
  fs.fail_nth(zv::testing::FaultOp::kWrite, 1);
  auto failed = db.batch().insert(a, "x", std::string(10'000, 'x')).commit();
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind(), MorvaErrorKind::kIo);
  EXPECT_TRUE(db.is_poisoned());
  const tervik::SeqNo s = db.seqno();
  EXPECT_EQ(db.batch().insert(a, "y", "v").commit().error().kind(), MorvaErrorKind::kPoisoned);
  EXPECT_EQ(a.insert("y", "v").error().kind(), MorvaErrorKind::kPoisoned);
  EXPECT_EQ(db.seqno(), s);
  EXPECT_EQ(a.get("kept").value(), "v");
  EXPECT_EQ(a.get("x").value(), std::nullopt);
}

}  // namespace
}  // namespace morva
