#include "morva/src/db.h"

#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <fstream>

#include <gtest/gtest.h>

#include "morva/src/testing/test_db.h"
#include "morva/src/testing/test_keyspace.h"
#include "morva/src/version_marker.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "platform/testing/faulty_file_system.h"
#include "platform/testing/temp_dir.h"

namespace morva {
namespace {

using testing::create_db;
using testing::small_config;

std::string folder_in(const zv::testing::TempDir& dir) { return zv::fs::join(dir.path(), "db"); }

// Names of this process's threads called "morva:worker".
size_t worker_threads_alive() {
  size_t n = 0;
  DIR* d = opendir("/proc/self/task");
  while (dirent* e = readdir(d)) {
    std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
    std::string name;
    if (std::getline(comm, name) && name == "morva:worker") ++n;
  }
  closedir(d);
  return n;
}

TEST(DatabaseCreate, FreshFolderHoldsExactlyTheLayout) {
  zv::testing::TempDir dir;
  const std::string folder = folder_in(dir);
  Database db = create_db(small_config(folder));
  EXPECT_EQ(*zv::fs::list_dir(folder), (std::vector<std::string>{"0.jnl", "keyspaces", "lock", "version"}));
  EXPECT_EQ(*zv::fs::list_dir(zv::fs::join(folder, "keyspaces")), std::vector<std::string>{"0"});
  EXPECT_EQ(*zv::fs::read_file(zv::fs::join(folder, "version")), std::string("MRV\x03", 4));
  const tervik::TreeConfig& meta = db.state()->meta_tree->tree().config();
  EXPECT_EQ(meta.data_block_size_policy.get(3), 4096u);
  EXPECT_EQ(meta.data_block_hash_ratio_policy.get(3), 8.0f);
  EXPECT_EQ(meta.data_block_compression_policy.get(5), tervik::CompressionType::kNone);
  EXPECT_EQ(meta.data_block_restart_interval_policy.get(2), 1);
  EXPECT_EQ(meta.index_block_compression_policy.get(4), tervik::CompressionType::kNone);
  EXPECT_EQ(meta.filter_policy.get(0), tervik::FilterPolicyEntry::false_positive_rate(0.0001f));
  EXPECT_EQ(meta.filter_policy.get(6), tervik::FilterPolicyEntry::false_positive_rate(0.01f));
  EXPECT_EQ(meta.cache, db.state()->config.cache);
}

TEST(DatabaseCreate, MarkerTable) {
  zv::log::CaptureSink logs;
  struct Case {
    std::string bytes;
    bool ok;
    std::optional<FormatVersion> version;
  };
  const Case cases[] = {
      {std::string("MRV\x01", 4), false, FormatVersion::kV1},
      {std::string("MRV\x02", 4), false, FormatVersion::kV2},
      {std::string("MRV\x07", 4), false, std::nullopt},
      {std::string("XYZ\x03", 4), false, std::nullopt},
      {"MRV", false, std::nullopt},
      {std::string("MRV\x03", 4) + "trailing", true, std::nullopt},
  };
  for (const Case& c : cases) {
    auto st = check_version_marker(c.bytes);
    EXPECT_EQ(st.ok(), c.ok) << c.bytes;
    if (!st.ok()) {
      EXPECT_EQ(st.error().kind(), MorvaErrorKind::kInvalidVersion);
      EXPECT_EQ(st.error().version(), c.version);
    }
  }
  EXPECT_TRUE(logs.contains("It looks like you are trying to open a V2 database"));
}

TEST(DatabaseCreate, WorkerThreadsFromProcessorCount) {
  EXPECT_EQ(DatabaseConfig("/x", 16).worker_threads, 4u);
  EXPECT_EQ(DatabaseConfig("/x", 2).worker_threads, 2u);
  EXPECT_EQ(DatabaseConfig("/x", 0).worker_threads, 1u);
  EXPECT_EQ(DatabaseConfig("rel", 1).path, zv::fs::absolute("rel"));
}

TEST(DatabaseCreate, SecondCreationIsLockedAndTheLockIsFreedWithTheLastHolder) {
  zv::testing::TempDir dir;
  const std::string folder = folder_in(dir);
  std::optional<Keyspace> survivor;
  {
    Database db = create_db(small_config(folder));
    survivor = testing::open_keyspace(db, "default");
    // The folder is already laid out; only the lock decides.
    (void)zv::fs::remove_file(zv::fs::join(folder, "version"));
    auto second = Database::create_new(small_config(folder));
    ASSERT_FALSE(second.ok());
    EXPECT_EQ(second.error().to_string(), "MorvaError: Locked");
    ASSERT_TRUE(survivor->insert("k", "v").ok());
    EXPECT_EQ(survivor->get("k").value(), "v");
  }
  // A keyspace handle keeps the lock.
  EXPECT_FALSE(LockedFile::create_new(zv::fs::join(folder, "lock")).ok());
  survivor.reset();
  EXPECT_TRUE(LockedFile::open(zv::fs::join(folder, "lock")).ok());
}

TEST(DatabaseCreate, MissingLockFileIsMadeAgainByCreationNotByOpen) {
  zv::testing::TempDir dir;
  const std::string lock = zv::fs::join(dir.path(), "lock");
  auto opened = LockedFile::open(lock);
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().kind(), MorvaErrorKind::kIo);
  EXPECT_TRUE(LockedFile::create_new(lock).ok());
  EXPECT_TRUE(zv::fs::is_file(lock));
}

TEST(DatabaseCreate, LeftoverFirstJournal) {
  struct Case {
    const char* name;
    std::function<void(const std::string& folder)> leave;
    bool creates;
  };
  const Case cases[] = {
      {"empty", [](const std::string& f) { (void)zv::fs::write_file(zv::fs::join(f, "0.jnl"), ""); }, true},
      {"zero-filled",
       [](const std::string& f) { (void)zv::fs::write_file(zv::fs::join(f, "0.jnl"), std::string(4096, '\0')); },
       true},
      {"holding an entry",
       [](const std::string& f) { (void)zv::fs::write_file(zv::fs::join(f, "0.jnl"), std::string("\x01\x02", 2)); },
       false},
      {"with a second journal",
       [](const std::string& f) {
         (void)zv::fs::write_file(zv::fs::join(f, "0.jnl"), "");
         (void)zv::fs::write_file(zv::fs::join(f, "1.jnl"), "");
       },
       false},
      {"with keyspace 1",
       [](const std::string& f) {
         (void)zv::fs::write_file(zv::fs::join(f, "0.jnl"), "");
         (void)zv::fs::create_dir_all(zv::fs::join(f, "keyspaces/1"));
       },
       false},
  };
  for (const Case& c : cases) {
    zv::testing::TempDir dir;
    const std::string folder = folder_in(dir);
    ASSERT_TRUE(zv::fs::create_dir_all(zv::fs::join(folder, "keyspaces/0")).ok());
    c.leave(folder);
    auto db = Database::open(small_config(folder));
    EXPECT_EQ(db.ok(), c.creates) << c.name;
    if (!db.ok()) {
      EXPECT_EQ(db.error().kind(), MorvaErrorKind::kIo) << c.name;
    }
  }
}

// A child process stops right after each step of a creation; the next open
// of the folder in this process then creates the database (before the
// marker) or finds a complete marker (after it).
TEST(DatabaseCreate, StopAfterEachStepLeavesAFolderTheNextOpenHandles) {
  for (int stop : {2, 3, 4, 5, 6, 8}) {
    zv::testing::TempDir dir;
    const std::string folder = folder_in(dir);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      DatabaseConfig c = small_config(folder, 0);
      c.hooks.after_creation_step = [stop](int step) {
        if (step == stop) _exit(0);
      };
      (void)Database::create_new(std::move(c));
      _exit(1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << stop;
    if (stop < 6) {
      EXPECT_FALSE(zv::fs::exists(zv::fs::join(folder, "version"))) << stop;
      auto db = Database::open(small_config(folder));
      ASSERT_TRUE(db.ok()) << stop << ": " << db.error().to_string();
      EXPECT_TRUE(testing::open_keyspace(*db, "default").insert("k", "v").ok());
    } else {
      EXPECT_TRUE(read_version_marker(zv::FileSystem::os(), folder).ok()) << stop;
    }
  }
}

TEST(DatabaseDrop, JoinsEveryWorkerAndFreesTheLock) {
  zv::testing::TempDir dir;
  const std::string folder = folder_in(dir);
  const size_t before = worker_threads_alive();
  {
    Database db = create_db(small_config(folder, 4));
    Keyspace ks = testing::open_keyspace(db, "default");
    ASSERT_TRUE(ks.insert("a", "1").ok());
    EXPECT_EQ(db.state()->running->load(), 4u);
    EXPECT_EQ(worker_threads_alive(), before + 4);
  }
  // Joined, not merely counted out: no thread of the pool is left.
  EXPECT_EQ(worker_threads_alive(), before);
  EXPECT_EQ(*zv::fs::list_dir(folder), (std::vector<std::string>{"0.jnl", "keyspaces", "lock", "version"}));
  EXPECT_TRUE(LockedFile::open(zv::fs::join(folder, "lock")).ok());
  EXPECT_EQ(WorkerMessage::rotate(12, std::make_shared<testing::TestKeyspace>("default")).to_string(),
            "WorkerMessage:Rotate(default, 12)");
}

TEST(DatabasePersist, ModesAndPoisoning) {
  zv::testing::TempDir dir;
  zv::testing::FaultyFileSystem fs;
  DatabaseConfig c = small_config(folder_in(dir), 0);
  c.journal_fs = &fs;
  Database db = create_db(std::move(c));
  Keyspace ks = testing::open_keyspace(db, "default");
  ASSERT_TRUE(ks.insert("k", "v").ok());
  const uint64_t syncs = fs.calls(zv::testing::FaultOp::kSync);
  const uint64_t sync_alls = fs.calls(zv::testing::FaultOp::kSyncAll);
  ASSERT_TRUE(db.persist(PersistMode::kBuffer).ok());
  EXPECT_EQ(fs.calls(zv::testing::FaultOp::kSync), syncs);
  ASSERT_TRUE(db.persist(PersistMode::kSyncData).ok());
  EXPECT_EQ(fs.calls(zv::testing::FaultOp::kSync), syncs + 1);
  ASSERT_TRUE(db.persist(PersistMode::kSyncAll).ok());
  EXPECT_EQ(fs.calls(zv::testing::FaultOp::kSyncAll), sync_alls + 1);

  zv::log::CaptureSink logs;
  fs.fail_nth(zv::testing::FaultOp::kSyncAll, 1);
  auto failed = db.persist(PersistMode::kSyncAll);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind(), MorvaErrorKind::kIo);
  EXPECT_TRUE(logs.contains("flush failed, which is a FATAL, and possibly hardware-related, failure: "));
  EXPECT_TRUE(db.is_poisoned());
  const uint64_t calls = fs.calls(zv::testing::FaultOp::kSyncAll);
  auto again = db.persist(PersistMode::kSyncAll);
  EXPECT_EQ(again.error().to_string(), "MorvaError: Poisoned");
  EXPECT_EQ(fs.calls(zv::testing::FaultOp::kSyncAll), calls);
  EXPECT_EQ(ks.get("k").value(), "v");
}

}  // namespace
}  // namespace morva
