#include "morva/src/journal/replay.h"

#include <gtest/gtest.h>

#include "morva/src/db.h"
#include "morva/src/flush.h"
#include "morva/src/testing/journal_bytes.h"
#include "morva/src/testing/test_db.h"
#include "morva/src/version_marker.h"
#include "platform/fs.h"
#include "platform/testing/faulty_file_system.h"
#include "platform/testing/temp_dir.h"

namespace morva {
namespace {

using testing::raw_batch;
using testing::RawItem;
using tervik::ValueType;

constexpr uint64_t kA = 1;
constexpr uint64_t kB = 2;
constexpr uint64_t kNoSuchKeyspace = 99;

std::string clear_batch(uint64_t seqno, uint64_t keyspace_id) {
  std::string out, body;
  encode_journal_clear(&body, keyspace_id);
  encode_journal_start(&out, 1, seqno);
  out += body;
  encode_journal_end(&out, zv::xxh3_64(body.data(), body.size()));
  return out;
}

// A database with keyspaces "a" (id 1) and "b" (id 2) whose journal files
// the tests then write by hand.
struct Replay : ::testing::Test {
  zv::testing::TempDir dir;
  const std::string folder = zv::fs::join(dir.path(), "db");

  void SetUp() override {
    Database db = testing::create_db(testing::small_config(folder, 0));
    ASSERT_EQ(testing::open_keyspace(db, "a").id(), kA);
    ASSERT_EQ(testing::open_keyspace(db, "b").id(), kB);
  }
  std::string journal(uint64_t n) const { return zv::fs::join(folder, std::to_string(n) + ".jnl"); }
  // Replaces every journal file: contents[i] becomes "<i>.jnl".
  void write_journals(const std::vector<std::string>& contents) {
    const auto names = zv::fs::list_dir(folder);
    for (const std::string& name : *names) {
      if (name.ends_with(".jnl")) {
        ASSERT_TRUE(zv::fs::remove_file(zv::fs::join(folder, name)).ok());
      }
    }
    for (size_t i = 0; i < contents.size(); ++i) testing::write_all(journal(i), contents[i]);
  }
  MorvaResult<Database> open(zv::FileSystem* fs = nullptr) {
    DatabaseConfig c = testing::small_config(folder, 0);
    if (fs != nullptr) c.journal_fs = fs;
    return Database::open(std::move(c));
  }
  static std::optional<std::string> read(const Database& db, std::string_view ks, std::string_view key) {
    auto v = testing::open_keyspace(db, ks).get(key);
    EXPECT_TRUE(v.ok());
    return v.ok() ? *v : std::nullopt;
  }
};

TEST_F(Replay, ActiveJournalGoesBackIntoTheActiveMemtables) {
  const std::string good =
      raw_batch(5, {{kA, "k1", "v1"}, {kA, "k2", "v2"}, {kB, "x", "1"}, {kNoSuchKeyspace, "z", "z"}}) +
      raw_batch(6, {{kA, "k1", "", ValueType::kTombstone}, {kA, "w", "", ValueType::kWeakTombstone}}) +
      raw_batch(8, {{kA, "d", "first"}, {kA, "d", std::string("se\0c\xffnd", 7)}}) + clear_batch(9, kB) +
      raw_batch(41, {{kA, "k3", std::string(300, 'v'), ValueType::kValue, true}});
  // A batch cut off after the first of its two items.
  std::string torn;
  encode_journal_start(&torn, 2, 50);
  torn += testing::raw_item({kA, "lost", "lost"});
  write_journals({good + torn});
  {
    auto db = open();
    ASSERT_TRUE(db.ok()) << db.error().to_string();
    EXPECT_EQ(*zv::fs::file_size(journal(0)), good.size());
    EXPECT_EQ(db->seqno(), 42u);
    EXPECT_EQ(read(*db, "a", "k1"), std::nullopt);
    EXPECT_EQ(read(*db, "a", "k2"), "v2");
    EXPECT_EQ(read(*db, "a", "k3"), std::string(300, 'v'));
    EXPECT_EQ(read(*db, "a", "d"), std::string("se\0c\xffnd", 7));
    EXPECT_EQ(read(*db, "a", "lost"), std::nullopt);
    EXPECT_EQ(read(*db, "b", "x"), std::nullopt);
    EXPECT_EQ(testing::open_keyspace(*db, "b").tree().index().get_highest_seqno(), std::nullopt);
    ASSERT_TRUE(testing::open_keyspace(*db, "a").insert("k4", "v4").ok());
  }
  // The new write went after the cut, not over the replayed batches.
  auto db = open();
  ASSERT_TRUE(db.ok()) << db.error().to_string();
  EXPECT_EQ(read(*db, "a", "k3"), std::string(300, 'v'));
  EXPECT_EQ(read(*db, "a", "k4"), "v4");
  EXPECT_EQ(db->seqno(), 43u);
}

TEST_F(Replay, AlteredChecksum) {
  const std::string good = raw_batch(1, {{kA, "good", "1"}});
  const std::string bad = raw_batch(2, {{kA, "bad", "2"}}, -1, 1);
  struct Case {
    const char* name;
    std::vector<std::string> journals;
    bool opens;
  };
  for (const Case& c : {Case{"sealed journal", {bad, good}, false},
                        Case{"active, a verified batch after it", {good + bad + raw_batch(3, {{kA, "c", "3"}})}, false},
                        Case{"last batch of the active journal", {good + bad}, true}}) {
    SCOPED_TRACE(c.name);
    write_journals(c.journals);
    auto db = open();
    if (!c.opens) {
      ASSERT_FALSE(db.ok());
      EXPECT_EQ(db.error().to_string(), "MorvaError: JournalRecovery(ChecksumMismatch)");
      for (size_t i = 0; i < c.journals.size(); ++i) EXPECT_EQ(testing::read_all(journal(i)), c.journals[i]);
      continue;
    }
    ASSERT_TRUE(db.ok()) << db.error().to_string();
    EXPECT_EQ(testing::read_all(journal(0)), good);
    EXPECT_EQ(read(*db, "a", "good"), "1");
    EXPECT_EQ(read(*db, "a", "bad"), std::nullopt);
  }
}

TEST_F(Replay, ReadErrorFailsTheOpenAndCutsNothing) {
  const std::string bytes = raw_batch(1, {{kA, "k", "v"}}) + std::string(100, '\0');
  for (uint64_t journals : {1, 2}) {
    SCOPED_TRACE(journals);
    write_journals(std::vector<std::string>(journals, bytes));
    zv::testing::FaultyFileSystem fs;
    ASSERT_TRUE(read_version_marker(fs, folder).ok());
    // Every read after the marker's fails.
    fs.fail_nth(zv::testing::FaultOp::kRead, 1, 1'000'000);
    auto db = open(&fs);
    ASSERT_FALSE(db.ok());
    EXPECT_EQ(db.error().kind(), MorvaErrorKind::kIo) << db.error().to_string();
    for (uint64_t i = 0; i < journals; ++i) EXPECT_EQ(testing::read_all(journal(i)), bytes);
  }
}

TEST_F(Replay, SealedJournalBecomesASealedMemtableUntilItsTablesHoldIt) {
  write_journals({raw_batch(3, {{kA, "k", "v"}, {kNoSuchKeyspace, "z", "z"}}) + raw_batch(4, {{kA, "j", "w"}}), ""});
  {
    auto db = open();
    ASSERT_TRUE(db.ok()) << db.error().to_string();
    Keyspace a = testing::open_keyspace(*db, "a");
    EXPECT_EQ(a.tree().index().sealed_memtable_count(), 1u);
    EXPECT_EQ(testing::open_keyspace(*db, "b").tree().index().sealed_memtable_count(), 0u);
    EXPECT_EQ(db->seqno(), 5u);
    JournalManagerCell& cell = *db->state()->ctx->journal_manager;
    ASSERT_EQ(cell.manager.sealed_journal_count(), 1u);
    const SealedJournal& sealed = cell.manager.sealed_journals().front();
    EXPECT_EQ(sealed.path, journal(0));
    ASSERT_EQ(sealed.watermarks.size(), 1u);
    EXPECT_EQ(sealed.watermarks[0].keyspace->name(), "a");
    EXPECT_EQ(sealed.watermarks[0].seqno, 4u);
    EXPECT_GT(db->write_buffer_size(), 0u);
    ASSERT_TRUE(flush_sealed_memtables(a, *db->state()->ctx->write_buffer_size, *db->state()->ctx->snapshots).ok());
  }
  // Its keyspace has persisted past the watermark: no sealed memtable, but
  // the journal is listed again and goes at the next maintenance.
  auto db = open();
  ASSERT_TRUE(db.ok()) << db.error().to_string();
  Keyspace a = testing::open_keyspace(*db, "a");
  EXPECT_EQ(a.tree().index().sealed_memtable_count(), 0u);
  EXPECT_TRUE(a.tree().index().active_memtable()->is_empty());
  EXPECT_EQ(read(*db, "a", "j"), "w");
  EXPECT_EQ(db->seqno(), 5u);
  JournalManagerCell& cell = *db->state()->ctx->journal_manager;
  ASSERT_EQ(cell.manager.sealed_journal_count(), 1u);
  ASSERT_TRUE(cell.manager.maintenance().ok());
  EXPECT_FALSE(zv::fs::exists(journal(0)));
}

TEST_F(Replay, ItemsOfAKeyspaceNotOpenAreSkippedAndRaiseNoWatermark) {
  // "b" keeps its name entry but its folder goes at the open (no tree).
  ASSERT_TRUE(zv::fs::remove_file(zv::fs::join(folder, "keyspaces/2/current")).ok());
  write_journals({raw_batch(1, {{kB, "x", "1"}}), raw_batch(2, {{kB, "y", "2"}}) + raw_batch(3, {{kA, "k", "3"}})});
  auto db = open();
  ASSERT_TRUE(db.ok()) << db.error().to_string();
  const JournalManager& manager = db->state()->ctx->journal_manager->manager;
  ASSERT_EQ(manager.sealed_journal_count(), 1u);
  EXPECT_TRUE(manager.sealed_journals().front().watermarks.empty());
  EXPECT_EQ(read(*db, "a", "k"), "3");
  Keyspace b = testing::open_keyspace(*db, "b");
  EXPECT_NE(b.id(), kB);
  EXPECT_EQ(read(*db, "b", "x"), std::nullopt);
  EXPECT_EQ(read(*db, "b", "y"), std::nullopt);
}

TEST_F(Replay, IndirectionItemIsUnrecoverable) {
  const std::string bytes = raw_batch(1, {{kA, "k", std::string(20, 'i'), ValueType::kIndirection}});
  write_journals({bytes});
  auto db = open();
  ASSERT_FALSE(db.ok());
  EXPECT_EQ(db.error().to_string(), "MorvaError: Unrecoverable");
  EXPECT_EQ(testing::read_all(journal(0)), bytes);
}

}  // namespace
}  // namespace morva
