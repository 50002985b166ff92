#include "morva/src/keyspace.h"

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "morva/src/flush.h"
#include "morva/src/keyspace_options_reader.h"
#include "morva/src/testing/test_db.h"
#include "platform/fs.h"
#include "platform/testing/faulty_file_system.h"
#include "platform/testing/temp_dir.h"

namespace morva {
namespace {

using namespace std::chrono_literals;
using testing::create_db;
using testing::open_keyspace;
using testing::small_config;
using Clock = std::chrono::steady_clock;

const char* const kBackendNames[] = {"default",   "tombstone_storage", "compressed_archive", "tombstones",
                                     "namespace_index", "payload_index", "text_index", "sparse_index",
                                     "internal_metadata", "versions"};

struct Fixture : ::testing::Test {
  zv::testing::TempDir dir;
  std::string folder = zv::fs::join(dir.path(), "db");
  // The journal's file layer, counting (and failing) its calls.
  zv::testing::FaultyFileSystem fs;
  Database create_on_fs(DatabaseConfig c) {
    c.journal_fs = &fs;
    return create_db(std::move(c));
  }
};

using KeyspaceCreate = Fixture;

TEST_F(KeyspaceCreate, IdsRiseAreNeverReusedAndNamesResolveOnce) {
  DatabaseConfig c = small_config(folder, 0);
  c.hooks.keyspace_creation = [](uint64_t id) -> MorvaStatus {
    if (id == 3) return zv::make_unexpected(MorvaError::io(zv::IoError(zv::IoErrorKind::kOther, "injected")));
    return {};
  };
  Database db = create_db(std::move(c));
  Keyspace a = open_keyspace(db, "a");
  EXPECT_EQ(a.id(), 1u);
  EXPECT_TRUE(zv::fs::is_dir(zv::fs::join(folder, "keyspaces/1")));
  EXPECT_TRUE(open_keyspace(db, "a") == a);
  EXPECT_EQ(open_keyspace(db, "b").id(), 2u);
  EXPECT_FALSE(db.keyspace("c").ok());
  EXPECT_EQ(open_keyspace(db, "c").id(), 4u);
}

TEST_F(KeyspaceCreate, TenBackendKeyspacesAreRecordedInTheMetaKeyspace) {
  Database db = create_db(small_config(folder, 0));
  for (const char* name : kBackendNames) open_keyspace(db, name);
  const MetaKeyspace& meta = db.state()->meta;
  for (uint64_t id = 1; id <= 10; ++id) {
    EXPECT_EQ(meta.get_keyspace_name(id).value(), kBackendNames[id - 1]);
    auto options = read_keyspace_options(meta, id);
    ASSERT_TRUE(options.ok()) << options.error().to_string();
    EXPECT_EQ(options->max_memtable_size, kDefaultMaxMemtableSize);
  }
  EXPECT_EQ(db.state()->keyspaces->map.size(), 10u);
}

TEST_F(KeyspaceCreate, MetaEntriesSurviveAReopenOfTheMetaTree) {
  {
    Database db = create_db(small_config(folder, 0));
    for (int i = 0; i < 5; ++i) open_keyspace(db, "ks" + std::to_string(i));
    // The maintenance compaction after each creation keeps level 0 short.
    EXPECT_LT(db.state()->meta_tree->tree().l0_run_count(), 5u);
  }
  DatabaseConfig c = small_config(folder, 0);
  auto tree = tervik::Tree::open(meta_tree_config(c, zv::fs::join(folder, "keyspaces/0"), tervik::SeqNoCounter(0),
                                                  tervik::SeqNoCounter(0)));
  ASSERT_TRUE(tree.ok());
  MetaKeyspace meta(std::make_shared<TreeMetaTree>(*tree));
  for (uint64_t id = 1; id <= 5; ++id) {
    EXPECT_EQ(meta.get_keyspace_name(id).value(), "ks" + std::to_string(id - 1));
    EXPECT_TRUE(read_keyspace_options(meta, id).ok());
  }
  EXPECT_EQ(meta.get_keyspace_name(6).value(), std::nullopt);
}

TEST_F(KeyspaceCreate, FailedMetaIngestionRegistersNothing) {
  Database db = create_db(small_config(folder, 0));
  open_keyspace(db, "first");
  // A folder where the next table file goes makes its creation fail.
  const tervik::Tree& meta_tree = db.state()->meta_tree->tree();
  ASSERT_TRUE(zv::fs::create_dir_all(zv::fs::join(meta_tree.tables_folder(),
                                                  std::to_string(meta_tree.inner()->table_id_counter.get())))
                  .ok());
  auto failed = db.keyspace("second");
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind(), MorvaErrorKind::kStorage);
  EXPECT_EQ(db.state()->keyspaces->map.count("second"), 0u);
  EXPECT_EQ(db.state()->meta.get_keyspace_name(2).value(), std::nullopt);
  EXPECT_EQ(db.state()->meta.get_keyspace_name(1).value(), "first");
}

TEST(KeyspaceWrite, LengthsAreCheckedBeforeANumberIsTaken) {
  struct Case {
    size_t key;
    uint64_t value;
    bool ok;
  };
  const Case cases[] = {{1, 0, true},           {65'535, 0, true},          {0, 0, false},
                        {65'536, 0, false},     {1, 0xFFFF'FFFFull, true}, {1, 0x1'0000'0000ull, false}};
  for (const Case& c : cases) {
    auto st = check_write_lengths(c.key, c.value);
    EXPECT_EQ(st.ok(), c.ok) << c.key << " " << c.value;
    if (!st.ok()) {
      EXPECT_TRUE(st.error().is_io(zv::IoErrorKind::kInvalidInput));
      EXPECT_NE(st.error().to_string().find(std::to_string(c.key == 0 || c.key > 65'535 ? c.key : c.value)),
                std::string::npos);
    }
  }
}

TEST_F(KeyspaceCreate, RefusedKeysLeaveNoTraceAndBoundaryKeysAreStored) {
  Database db = create_db(small_config(folder, 0));
  Keyspace ks = open_keyspace(db, "default");
  const uint64_t seqno = db.seqno();
  EXPECT_FALSE(ks.insert("", "v").ok());
  EXPECT_FALSE(ks.insert(std::string(65'536, 'k'), "v").ok());
  EXPECT_FALSE(ks.remove("").ok());
  EXPECT_FALSE(db.batch().insert(ks, "fine", "v").insert(ks, "", "v").commit().ok());
  EXPECT_EQ(db.seqno(), seqno);
  EXPECT_TRUE(testing::journal_batches(db).empty());
  EXPECT_FALSE(db.is_poisoned());
  ASSERT_TRUE(ks.insert("k", "one").ok());
  ASSERT_TRUE(ks.insert(std::string(65'535, 'k'), "long").ok());
  EXPECT_EQ(ks.get(std::string(65'535, 'k')).value(), "long");
}

TEST_F(KeyspaceCreate, RoadOfOnePut) {
  Database db = create_on_fs(small_config(folder, 0));
  Keyspace ks = open_keyspace(db, "default");
  const uint64_t writes = fs.calls(zv::testing::FaultOp::kWrite);
  const uint64_t syncs = fs.calls(zv::testing::FaultOp::kSync) + fs.calls(zv::testing::FaultOp::kSyncAll);
  const tervik::SeqNo s = db.seqno();
  ASSERT_TRUE(ks.insert("key", "value").ok());
  EXPECT_EQ(fs.calls(zv::testing::FaultOp::kWrite), writes + 1);
  EXPECT_EQ(fs.calls(zv::testing::FaultOp::kSync) + fs.calls(zv::testing::FaultOp::kSyncAll), syncs);
  EXPECT_EQ(db.visible_seqno(), s + 1);
  EXPECT_EQ(ks.get("key", s + 1).value(), "value");
  EXPECT_EQ(ks.get("key", s).value(), std::nullopt);
  ASSERT_TRUE(ks.remove("key").ok());
  EXPECT_EQ(ks.get("key").value(), std::nullopt);
  const auto batches = testing::journal_batches(db);
  ASSERT_EQ(batches.size(), 2u);
  EXPECT_EQ(batches[0].seqno, s);
  ASSERT_EQ(batches[0].items.size(), 1u);
  EXPECT_EQ(batches[0].items[0].keyspace_id, ks.id());
  EXPECT_EQ(batches[1].items[0].value_type, tervik::ValueType::kTombstone);
  EXPECT_GT(db.write_buffer_size(), 0u);
}

TEST_F(KeyspaceCreate, ManualJournalPersistMakesNoPersistCall) {
  DatabaseConfig c = small_config(folder, 0);
  c.hooks.keyspace_options = [](std::string_view) {
    KeyspaceCreateOptions o;
    o.manual_journal_persist = true;
    return std::optional<KeyspaceCreateOptions>(o);
  };
  Database db = create_on_fs(std::move(c));
  Keyspace ks = open_keyspace(db, "default");
  const uint64_t writes = fs.calls(zv::testing::FaultOp::kWrite);
  ASSERT_TRUE(ks.insert("key", "value").ok());
  EXPECT_EQ(fs.calls(zv::testing::FaultOp::kWrite), writes);
  EXPECT_EQ(ks.get("key").value(), "value");
}

TEST_F(KeyspaceCreate, JournalFailurePoisonsEveryLaterWrite) {
  Database db = create_on_fs(small_config(folder, 0));
  Keyspace ks = open_keyspace(db, "default");
  ASSERT_TRUE(ks.insert("before", "v").ok());
  fs.fail_nth(zv::testing::FaultOp::kWrite, 1);
  auto failed = ks.insert("k", "v");
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind(), MorvaErrorKind::kIo);
  const tervik::SeqNo s = db.seqno();
  EXPECT_EQ(ks.insert("k2", "v").error().kind(), MorvaErrorKind::kPoisoned);
  EXPECT_EQ(ks.remove("k2").error().kind(), MorvaErrorKind::kPoisoned);
  EXPECT_EQ(db.seqno(), s);
  EXPECT_EQ(ks.get("before").value(), "v");
  EXPECT_EQ(ks.get("k").value(), std::nullopt);
}

// Options whose memtable limit is exactly the size one entry leaves.
DatabaseConfig limited(const std::string& folder, uint64_t limit) {
  DatabaseConfig c = small_config(folder, 0);
  testing::with_memtable_limit(c, limit);
  return c;
}

TEST_F(KeyspaceCreate, RotationIsRequestedOnlyAboveTheLimitAndAgainAfterAFullChannel) {
  // One entry of key "k" and value "v" takes 1 + 1 + 64 bytes.
  Database db = create_db(limited(folder, 66));
  Keyspace ks = open_keyspace(db, "default");
  WorkerReceiver rx = db.state()->pool.receiver();
  ASSERT_TRUE(ks.insert("k", "v").ok());
  EXPECT_EQ(ks.tree().index().active_memtable()->size(), 66u);
  EXPECT_EQ(rx.len(), 0u);
  ASSERT_TRUE(ks.insert("k", "w").ok());
  ASSERT_EQ(rx.len(), 1u);
  EXPECT_EQ(rx.try_recv()->to_string(),
            "WorkerMessage:Rotate(default, " + std::to_string(ks.tree().index().active_memtable()->id()) + ")");
  WorkerSender tx = db.state()->pool.sender();
  while (tx.try_send(WorkerMessage::flush())) {
  }
  EXPECT_TRUE(ks.insert("k", "x").ok());
  while (rx.try_recv()) {
  }
  ASSERT_TRUE(ks.insert("k", "y").ok());
  ASSERT_EQ(rx.len(), 1u);
  EXPECT_EQ(rx.try_recv()->tag, WorkerMessageTag::kRotate);
}

// Adds `runs` level-0 runs, all over the same key range (disjoint runs
// would be joined into one).
void add_l0_runs(const Keyspace& ks, const Database& db, size_t runs) {
  for (size_t i = 0; i < runs; ++i) {
    ASSERT_TRUE(ks.insert("a", "v").ok());
    ASSERT_TRUE(ks.insert("z", "v").ok());
    testing::seal(ks);
    ASSERT_TRUE(flush_sealed_memtables(ks, *db.state()->ctx->write_buffer_size, *db.state()->ctx->snapshots).ok());
  }
}

// The time a write (made while `running` workers count as alive) takes.
std::chrono::milliseconds timed_write(const Database& db, const Keyspace& ks) {
  const auto start = Clock::now();
  EXPECT_TRUE(ks.insert("probe", "v").ok());
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

TEST_F(KeyspaceCreate, StallByLevelZeroRuns) {
  Database db = create_db(small_config(folder, 0));
  Keyspace ks = open_keyspace(db, "default");
  DatabaseState& s = *db.state();
  s.running->store(1);
  add_l0_runs(ks, db, 25);
  EXPECT_LT(timed_write(db, ks), 50ms);
  add_l0_runs(ks, db, 5);
  ASSERT_EQ(ks.tree().index().l0_run_count(), 30u);
  // Held back at 30 runs: the writer offers a compaction, which a stand-in
  // worker runs by sealing the level away.
  std::thread worker([&] {
    auto msg = s.pool.receiver().recv();
    EXPECT_EQ(msg->tag, WorkerMessageTag::kCompact);
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(ks.tree().index().clear().ok());
  });
  EXPECT_GE(timed_write(db, ks), 50ms);
  worker.join();
  // The database poisoned: the stall ends at once.
  add_l0_runs(ks, db, 30);
  s.poisoned->store(true);
  const auto start = Clock::now();
  ks.check_write_stall();
  EXPECT_LT(Clock::now() - start, 50ms);
  s.running->store(0);
}

TEST_F(KeyspaceCreate, StallBySealedMemtables) {
  Database db = create_db(small_config(folder, 0));
  Keyspace ks = open_keyspace(db, "default");
  DatabaseState& s = *db.state();
  s.running->store(1);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(ks.insert("k" + std::to_string(i), "v").ok());
    testing::seal(ks);
  }
  EXPECT_LT(timed_write(db, ks), 50ms);
  testing::seal(ks);
  std::thread flusher([&] {
    std::this_thread::sleep_for(150ms);
    EXPECT_TRUE(flush_sealed_memtables(ks, *s.ctx->write_buffer_size, *s.ctx->snapshots).ok());
  });
  EXPECT_GE(timed_write(db, ks), 100ms);
  flusher.join();
  EXPECT_EQ(ks.tree().index().sealed_memtable_count(), 0u);
  // No worker left: nobody will flush, the writer is not held.
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(ks.insert("k" + std::to_string(i), "v").ok());
    testing::seal(ks);
  }
  s.running->store(0);
  EXPECT_LT(timed_write(db, ks), 50ms);
}

}  // namespace
}  // namespace morva
