#include "morva/src/keyspace_recovery.h"

#include <gtest/gtest.h>

#include "morva/src/db.h"
#include "morva/src/meta_keyspace.h"
#include "morva/src/testing/test_db.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "platform/testing/temp_dir.h"
#include "tervik/compaction/fifo.h"
#include "tervik/compaction/leveled.h"

namespace morva {
namespace {

using testing::create_db;
using testing::open_keyspace;
using testing::small_config;

struct KeyspaceRecovery : ::testing::Test {
  zv::testing::TempDir dir;
  const std::string folder = zv::fs::join(dir.path(), "db");
  const std::string keyspaces = zv::fs::join(folder, "keyspaces");

  // Creates the database with keyspaces "k1" .. "k<count>" (ids 1 .. count).
  void create(int count) {
    Database db = create_db(small_config(folder, 0));
    for (int i = 1; i <= count; ++i) ASSERT_EQ(open_keyspace(db, "k" + std::to_string(i)).id(), uint64_t(i));
  }
  MorvaResult<Database> open() { return Database::open(small_config(folder, 0)); }
  std::vector<std::string> recovered(const Database& db) {
    std::vector<std::string> out;
    for (const auto& [name, ks] : db.state()->keyspaces->map) out.push_back(name + "=" + std::to_string(ks.id()));
    return out;
  }
  void remove(const std::string& name) { ASSERT_TRUE(zv::fs::remove_dir_all(zv::fs::join(keyspaces, name)).ok()); }
};

TEST_F(KeyspaceRecovery, OnlyTheMetaKeyspace) {
  create(0);
  auto db = open();
  ASSERT_TRUE(db.ok()) << db.error().to_string();
  EXPECT_TRUE(recovered(*db).empty());
  EXPECT_EQ(db->state()->keyspace_ids.get(), 2u);
}

TEST_F(KeyspaceRecovery, HighestFolderIdSetsTheCounterEvenWhenRemoved) {
  create(9);
  for (const char* gone : {"1", "2", "4", "5", "6", "7", "8"}) remove(gone);
  {
    auto db = open();
    ASSERT_TRUE(db.ok()) << db.error().to_string();
    EXPECT_EQ(recovered(*db), (std::vector<std::string>{"k3=3", "k9=9"}));
    EXPECT_EQ(db->state()->keyspace_ids.get(), 10u);
  }
  // A folder whose id the meta keyspace does not name goes, and still counts.
  remove("9");
  ASSERT_TRUE(zv::fs::create_dir_all(zv::fs::join(keyspaces, "12/tables")).ok());
  ASSERT_TRUE(zv::fs::write_file(zv::fs::join(keyspaces, "12/current"), "x").ok());
  auto db = open();
  ASSERT_TRUE(db.ok()) << db.error().to_string();
  EXPECT_FALSE(zv::fs::exists(zv::fs::join(keyspaces, "12")));
  EXPECT_EQ(db->state()->keyspace_ids.get(), 13u);
}

TEST_F(KeyspaceRecovery, FolderWithoutTreeIsRemovedAndItsNameMadeAgain) {
  create(2);
  ASSERT_TRUE(zv::fs::remove_file(zv::fs::join(keyspaces, "2/current")).ok());
  ASSERT_TRUE(zv::fs::write_file(zv::fs::join(keyspaces, "stray"), "x").ok());
  zv::log::CaptureSink logs;
  auto db = open();
  ASSERT_TRUE(db.ok()) << db.error().to_string();
  EXPECT_TRUE(logs.contains("Found stray file " + zv::fs::join(keyspaces, "stray") + " in keyspaces folder"));
  EXPECT_TRUE(zv::fs::exists(zv::fs::join(keyspaces, "stray")));
  EXPECT_FALSE(zv::fs::exists(zv::fs::join(keyspaces, "2")));
  EXPECT_EQ(recovered(*db), (std::vector<std::string>{"k1=1"}));
  // Its meta entries stay; opening the name again makes a new keyspace.
  EXPECT_EQ(db->state()->meta.get_keyspace_name(2).value(), "k2");
  Keyspace again = open_keyspace(*db, "k2");
  EXPECT_EQ(again.id(), 3u);
  ASSERT_TRUE(again.insert("a", "b").ok());
}

TEST_F(KeyspaceRecovery, DamagedFolderNamesFailTheOpenAndRemoveNothing) {
  for (const char* bad : {"tmp", "-4", "4x", "\xff\xfe", "99999999999999999999"}) {
    zv::testing::TempDir d;
    const std::string f = zv::fs::join(d.path(), "db");
    { Database db = create_db(small_config(f, 0)); (void)open_keyspace(db, "k1"); }
    const std::string ks = zv::fs::join(f, "keyspaces");
    ASSERT_TRUE(zv::fs::create_dir(zv::fs::join(ks, bad)).ok());
    // An unreferenced keyspace folder listed before or after the bad one.
    ASSERT_TRUE(zv::fs::create_dir(zv::fs::join(ks, "7")).ok());
    zv::log::CaptureSink logs;
    auto db = Database::open(small_config(f, 0));
    ASSERT_FALSE(db.ok()) << bad;
    EXPECT_EQ(db.error().to_string(), "MorvaError: Unrecoverable") << bad;
    EXPECT_TRUE(zv::fs::is_dir(zv::fs::join(ks, bad))) << bad;
    EXPECT_TRUE(zv::fs::is_dir(zv::fs::join(ks, "1"))) << bad;
    EXPECT_TRUE(logs.contains("Cannot recover keyspace folder")) << bad;
    // The lock is free again: removing the folder lets the next open in.
    ASSERT_TRUE(zv::fs::remove_dir(zv::fs::join(ks, bad)).ok());
    auto again = Database::open(small_config(f, 0));
    ASSERT_TRUE(again.ok()) << again.error().to_string();
    EXPECT_EQ(open_keyspace(*again, "k1").id(), 1u);
  }
}

// Compared through their stored form, which holds every option.
std::vector<std::string> stored_options(uint64_t id, const KeyspaceCreateOptions& o) {
  std::vector<std::string> out;
  for (const MetaEntry& e : keyspace_meta_entries(id, "x", o)) out.push_back(e.key + "=" + e.value);
  return out;
}

TEST_F(KeyspaceRecovery, KeyspacesComeBackWithTheirOptions) {
  std::map<std::string, KeyspaceCreateOptions> chosen;
  {
    KeyspaceCreateOptions o;
    tervik::KvSeparationOptions kv;
    kv.separation_threshold = 100;
    kv.file_target_size = 1 << 20;
    o.kv_separation = kv;
    chosen["separated"] = o;
  }
  {
    KeyspaceCreateOptions o;
    o.compaction_strategy = std::make_shared<tervik::compaction::Fifo>(1 << 20, std::nullopt);
    o.manual_journal_persist = true;
    chosen["fifo"] = o;
  }
  {
    KeyspaceCreateOptions o;
    o.compaction_strategy = std::make_shared<tervik::compaction::Fifo>(5000, 3600);
    o.expect_point_read_hits = true;
    chosen["fifo_ttl"] = o;
  }
  {
    KeyspaceCreateOptions o;
    tervik::LeveledOptions leveled;
    leveled.level_ratio_policy = {4.0f, 8.5f};
    leveled.target_size = 12345;
    leveled.l0_threshold = 3;
    o.compaction_strategy = std::make_shared<tervik::compaction::Leveled>(leveled);
    o.data_block_size_policy = tervik::BlockSizePolicy{8192, 16384};
    o.data_block_compression_policy = tervik::CompressionPolicy{tervik::CompressionType::kLz4};
    o.filter_policy = tervik::FilterPolicy::of(tervik::FilterPolicyEntry::none(), tervik::FilterPolicyEntry::bits_per_key(5.0f));
    o.data_block_hash_ratio_policy = tervik::HashRatioPolicy{0.75f};
    o.max_memtable_size = 777;
    chosen["policies"] = o;
  }
  {
    DatabaseConfig c = small_config(folder, 0);
    c.hooks.keyspace_options = [&](std::string_view name) { return std::optional(chosen.at(std::string(name))); };
    Database db = create_db(std::move(c));
    for (const auto& [name, o] : chosen) ASSERT_TRUE(open_keyspace(db, name).insert("k", std::string(200, 'v')).ok());
  }
  auto db = open();
  ASSERT_TRUE(db.ok()) << db.error().to_string();
  for (const auto& [name, o] : chosen) {
    SCOPED_TRACE(name);
    Keyspace ks = open_keyspace(*db, name);
    EXPECT_EQ(stored_options(ks.id(), ks.options()), stored_options(ks.id(), o));
    EXPECT_EQ(ks.options().level_count, 7);
    EXPECT_EQ(ks.tree().is_blob(), name == "separated");
    EXPECT_EQ(ks.get("k").value(), std::string(200, 'v'));
  }
}

}  // namespace
}  // namespace morva
