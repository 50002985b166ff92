#include <gtest/gtest.h>

#include <functional>

#include "archive/src/testing/archive_files.h"
#include "platform/coding.h"
#include "platform/fs.h"
#include "platform/fs_links.h"
#include "platform/log.h"
#include "platform/testing/temp_dir.h"
#include "tervik/blob/testing/blob_files.h"
#include "tervik/version/recovery.h"
#include "tervik/version/testing/sync_recorder.h"
#include "tervik/version/testing/version_builders.h"
#include "tervik/version/testing/version_fixture.h"

namespace tervik {
namespace {

using testing::IdRuns;
using testing::ids_of;

class RecoveryTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return zv::fs::join(dir_.path(), name); }
  std::string table_path(const std::string& name) const { return zv::fs::join(tree_.tables(), name); }
  TervikResult<Version> recover() { return recover_version(dir_.path(), testing::kTestTreeId, tree_.config()); }
  void persist(const Version& v) { ASSERT_TRUE(v.persist(dir_.path()).ok()); }
  void touch(const std::string& p) { ASSERT_TRUE(zv::fs::write_file(p, "x").ok()); }

  // A version file "v<id>" of the given sections, named by "current".
  void write_crafted(uint64_t id, const zv::archive::testing::Sections& sections) {
    (void)zv::archive::testing::store(dir_.path(), "v" + std::to_string(id),
                                      zv::archive::testing::build_archive(sections));
    ASSERT_TRUE(zv::fs::write_file(path("current"), encode_current(id, Checksum())).ok());
  }
  static zv::archive::testing::Sections good_sections() {
    return {{"tables", *encode_tables_section(std::vector<PersistedLevel>(7))},
            {"blob_files", std::string(4, '\0')},
            {"blob_gc_stats", std::string(4, '\0')},
            {"tree_type", std::string(1, '\0')}};
  }

  zv::testing::TempDir dir_;
  testing::TreeFolder tree_{dir_.path()};
};

TEST_F(RecoveryTest, RoundTripOfTablesBlobFilesAndStats) {
  std::vector<testing::BlobValue> values = {{"k", "value"}};
  ASSERT_TRUE(zv::fs::create_dir_all(tree_.blobs()).ok());
  auto blob = testing::write_blob_file(tree_.blobs(), 4, testing::kTestTreeId, &values);
  const auto t = std::vector<Table>{tree_.table(1, "a", "c"), tree_.table(2, "b", "d"),
                                    tree_.table(3, "e", "f"), tree_.table(4, "x", "z")};
  const Version v = testing::version_of(8, {{{1}, {2}}, {}, {{3, 4}}}, t, {blob},
                                        FragmentationMap({{4, {(1ull << 32) + 3, 7, 6}}}));
  persist(v);
  auto r = recover();
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(r->id(), 8u);
  EXPECT_EQ(ids_of(*r), ids_of(v));
  ASSERT_TRUE(r->blob_files().contains(4));
  EXPECT_EQ(r->blob_files().at(4)->checksum(), blob->checksum());
  EXPECT_EQ(r->gc_stats(), FragmentationMap({{4, {3, 7, 6}}}));
  EXPECT_EQ(r->find_table(2)->checksum(), t[1].checksum());
  // Pinning follows the per-level policies: filters pinned in level 0 only.
  EXPECT_TRUE(r->find_table(1)->has_pinned_filter());
  EXPECT_FALSE(r->find_table(3)->has_pinned_filter());
}

TEST_F(RecoveryTest, MissingTablesFolderIsCreatedDurably) {
  persist(Version::create(0, TreeType::kStandard));
  ASSERT_TRUE(zv::fs::remove_dir_all(tree_.tables()).ok());
  std::optional<testing::SyncRecorder> recorder;
  if (testing::SyncRecorder::available()) recorder.emplace();
  auto r = recover();
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_TRUE(zv::fs::is_dir(tree_.tables()));
  if (recorder) {
    const auto events = recorder->events();
    EXPECT_NE(std::find(events.begin(), events.end(), "sync " + zv::fs::absolute(dir_.path())), events.end());
  }
}

TEST_F(RecoveryTest, FolderCleanup) {
  const Table t1 = tree_.table(1, "a", "b");
  persist(Version::create(3, TreeType::kStandard));
  persist(testing::version_of(12, {{{1}}}, {t1}));
  (void)tree_.table(17, "c", "d");  // written, never listed
  for (const char* name : {"vfoo", "values", ".DS_Store"}) touch(path(name));
  touch(table_path(".DS_Store"));
  touch(table_path("._17"));
  ASSERT_TRUE(zv::fs::create_dir(path("vdir")).ok());
  ASSERT_TRUE(zv::fs::create_symlink(path("vdir"), path("vlink")).ok());  // a link to a folder
  // Only the first 8 bytes of "current" matter.
  auto current = zv::fs::read_file(path("current"));
  ASSERT_TRUE(current.ok());
  std::string damaged = current->substr(0, 8) + std::string(17, '\x5a');
  ASSERT_TRUE(zv::fs::write_file(path("current"), damaged).ok());

  auto r = recover();
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  struct Case {
    std::string path;
    bool present;
  };
  const Case cases[] = {
      {path("v12"), true},        {path("v3"), false},           {path("vfoo"), false},
      {path("values"), false},    {path("vdir"), true},          {path(".DS_Store"), true},
      {path("vlink"), false},
      {table_path("1"), true},    {table_path("17"), false},     {table_path(".DS_Store"), true},
      {table_path("._17"), true}, {path("current"), true},
  };
  for (const Case& c : cases) EXPECT_EQ(zv::fs::exists(c.path), c.present) << c.path;
}

TEST_F(RecoveryTest, FailuresDeleteNothing) {
  using Damage = std::function<void(const std::string& tables)>;
  auto write = [](const std::string& name) {
    return [name](const std::string& tables) { (void)zv::fs::write_file(zv::fs::join(tables, name), "x"); };
  };
  struct Case {
    const char* name;
    Damage damage;
    std::string log;
  };
  const Case cases[] = {
      {"a listed table is missing",
       [](const std::string& tables) { (void)zv::fs::remove_file(zv::fs::join(tables, "7")); },
       kLogRecoveredLessTables},
      {"a .tmp name", write("17.tmp"), "invalid table file name 17.tmp: invalid digit found in string"},
      {"a non-numeric name", write("abc"), "invalid table file name abc"},
      {"an empty number", write("+"), "invalid table file name +: cannot parse integer from empty string"},
      {"a number beyond u64", write("18446744073709551616"), "number too large to fit in target type"},
      {"a folder", [](const std::string& tables) { (void)zv::fs::create_dir(zv::fs::join(tables, "5")); },
       kLogTableFolderIsDir},
  };
  for (const Case& c : cases) {
    zv::testing::TempDir fresh;
    testing::TreeFolder tree(fresh.path());
    const Table a = tree.table(3, "a", "b");
    const Table b = tree.table(7, "c", "d");
    ASSERT_TRUE(Version::create(1, TreeType::kStandard).persist(fresh.path()).ok());
    ASSERT_TRUE(testing::version_of(2, {{{3}, {7}}}, {a, b}).persist(fresh.path()).ok());
    (void)tree.table(17, "x", "y");  // an orphan
    c.damage(tree.tables());

    zv::log::CaptureSink logs(zv::log::Level::kError);
    auto r = recover_version(fresh.path(), testing::kTestTreeId, tree.config());
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_EQ(r.error().kind(), TervikErrorKind::kUnrecoverable) << c.name;
    EXPECT_TRUE(logs.contains(c.log)) << c.name;
    EXPECT_TRUE(zv::fs::exists(zv::fs::join(tree.tables(), "17"))) << c.name << ": orphan kept";
    EXPECT_TRUE(zv::fs::exists(zv::fs::join(fresh.path(), "v1"))) << c.name << ": old version kept";
  }
}

TEST_F(RecoveryTest, LessTablesLogNamesEveryExpectedId) {
  const Table t3 = tree_.table(3, "a", "b");
  const Table t7 = tree_.table(7, "c", "d");
  persist(testing::version_of(1, {{{3, 7}}}, {t3, t7}));
  ASSERT_TRUE(zv::fs::remove_file(table_path("7")).ok());
  zv::log::CaptureSink logs;
  ASSERT_FALSE(recover().ok());
  EXPECT_TRUE(logs.contains("Recovered less tables than expected: [3, 7]") ||
              logs.contains("Recovered less tables than expected: [7, 3]"));
}

TEST_F(RecoveryTest, DamagedVersionFiles) {
  auto replaced = [](zv::archive::testing::Sections s, const std::string& name, std::string bytes) {
    for (auto& [n, b] : s) {
      if (n == name) b = std::move(bytes);
    }
    return s;
  };
  auto without = [](zv::archive::testing::Sections s, const std::string& name) {
    std::erase_if(s, [&](const auto& kv) { return kv.first == name; });
    return s;
  };
  std::string bad_checksum_type = *encode_tables_section(
      std::vector<PersistedLevel>{PersistedLevel{PersistedRun{{1, Checksum(), 0}}}});
  bad_checksum_type[1 + 1 + 4 + 8] = 1;
  std::string zero_run(1, '\x01');
  zero_run += '\x01';
  zero_run += std::string(4, '\0');
  std::string bad_blob_type(4, '\0');
  zv::coding::put_u32_le(&bad_blob_type, 0);
  bad_blob_type = std::string("\x01\0\0\0", 4) + std::string(8, '\0') + "\x03" + std::string(16, '\0');

  struct Case {
    const char* name;
    zv::archive::testing::Sections sections;
    TervikErrorKind kind;
    std::string log;
  };
  const Case cases[] = {
      {"no tables", without(good_sections(), "tables"), TervikErrorKind::kUnrecoverable,
       "tables section not found in version #9 - maybe the file is corrupted?"},
      {"no blob_files", without(good_sections(), "blob_files"), TervikErrorKind::kUnrecoverable,
       "blob_files section not found in version #9 - maybe the file is corrupted?"},
      {"no blob_gc_stats", without(good_sections(), "blob_gc_stats"), TervikErrorKind::kUnrecoverable,
       "blob_gc_stats section not found in version #9 - maybe the file is corrupted?"},
      {"no tree_type", without(good_sections(), "tree_type"), TervikErrorKind::kUnrecoverable,
       "tree_type section not found in version #9 - maybe the file is corrupted?"},
      {"tree type 2", replaced(good_sections(), "tree_type", "\x02"), TervikErrorKind::kInvalidHeader, ""},
      {"table checksum type 1", replaced(good_sections(), "tables", bad_checksum_type),
       TervikErrorKind::kInvalidTag, ""},
      {"blob checksum type 3", replaced(good_sections(), "blob_files", bad_blob_type),
       TervikErrorKind::kInvalidTag, ""},
      {"zero-table run", replaced(good_sections(), "tables", zero_run), TervikErrorKind::kUnrecoverable,
       kFatalPersistedRunEmpty},
      {"truncated tables", replaced(good_sections(), "tables", "\x07\x00"), TervikErrorKind::kIo, ""},
  };
  touch(table_path("17"));  // an orphan that no failed recovery may delete
  for (const Case& c : cases) {
    write_crafted(9, c.sections);
    zv::log::CaptureSink logs(zv::log::Level::kError);
    auto r = recover();
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_EQ(r.error().kind(), c.kind) << c.name << ": " << r.error().to_string();
    if (!c.log.empty()) {
      EXPECT_TRUE(logs.contains(c.log)) << c.name;
    }
    EXPECT_TRUE(zv::fs::exists(table_path("17"))) << c.name;
  }
  write_crafted(9, replaced(good_sections(), "tables", bad_checksum_type));
  auto tag = recover();
  EXPECT_EQ(tag.error().tag_name(), "ChecksumType");

  write_crafted(9, good_sections());
  auto ok = recover();
  ASSERT_TRUE(ok.ok()) << ok.error().to_string();
  EXPECT_FALSE(zv::fs::exists(table_path("17")));
  ASSERT_TRUE(zv::fs::remove_file(path("current")).ok());
  EXPECT_EQ(recover().error().kind(), TervikErrorKind::kIo);
}

}  // namespace
}  // namespace tervik
