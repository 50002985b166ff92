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
    const std::string bytes = zv::archive::testing::build_archive(sections);
    (void)zv::archive::testing::store(dir_.path(), "v" + std::to_string(id), bytes);
    ASSERT_TRUE(zv::fs::write_file(path("current"), encode_current(id, Checksum::of(bytes))).ok());
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
  touch(path("v13.tmp"));  // an interrupted version write

  zv::log::CaptureSink logs(zv::log::Level::kError);
  auto r = recover();
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_TRUE(logs.events().empty()) << "a verified version recovers without complaint";
  struct Case {
    std::string path;
    bool present;
  };
  const Case cases[] = {
      {path("v12"), true},        {path("v3"), false},           {path("vfoo"), false},
      {path("values"), false},    {path("vdir"), true},          {path(".DS_Store"), true},
      {path("vlink"), false},     {path("v13.tmp"), false},
      {table_path("1"), true},    {table_path("17"), false},     {table_path(".DS_Store"), true},
      {table_path("._17"), true}, {path("current"), true},
  };
  for (const Case& c : cases) EXPECT_EQ(zv::fs::exists(c.path), c.present) << c.path;
}

// The version file's bytes, and the offset of the id of the table listed
// `index`-th (walk order) in its "tables" section.
size_t table_id_offset(const std::string& file, const Version& v, size_t index) {
  const std::string section = *encode_tables_section(v.persisted_form().levels);
  const size_t start = file.find(section);
  EXPECT_NE(start, std::string::npos);
  size_t pos = start + 1;
  size_t seen = 0;
  for (const PersistedLevel& level : v.persisted_form().levels) {
    pos += 1;
    for (const PersistedRun& run : level) {
      pos += kRunHeaderSize;
      for (size_t i = 0; i < run.size(); ++i, ++seen, pos += kPersistedTableSize) {
        if (seen == index) return pos;
      }
    }
  }
  ADD_FAILURE() << "no table " << index;
  return 0;
}

TEST_F(RecoveryTest, DamagedTableIdNeverDeletesAListedTable) {
  struct Case {
    const char* name;
    uint8_t flipped_to;  // the low byte of table 7's stored id
    bool refused;
  };
  const Case cases[] = {
      {"7 becomes an unlisted leftover 6", 6, false},
      {"7 becomes 5, listed twice", 5, true},
  };
  for (const Case& c : cases) {
    zv::testing::TempDir fresh;
    testing::TreeFolder tree(fresh.path());
    const Table t5 = tree.table(5, "a", "b");
    const Table t7 = tree.table(7, "c", "d");
    (void)tree.table(6, "e", "f");  // left by a compaction that installed nothing
    const Version v = testing::version_of(2, {{{5}}, {{7}}}, {t5, t7});
    ASSERT_TRUE(Version::create(1, TreeType::kStandard).persist(fresh.path()).ok());
    ASSERT_TRUE(v.persist(fresh.path()).ok());
    const std::string vpath = zv::fs::join(fresh.path(), "v2");
    std::string bytes = *zv::fs::read_file(vpath);
    const size_t at = table_id_offset(bytes, v, 1);
    ASSERT_EQ(static_cast<uint8_t>(bytes[at]), 7u) << c.name;
    bytes[at] = static_cast<char>(c.flipped_to);
    ASSERT_TRUE(zv::fs::write_file(vpath, bytes).ok());

    zv::log::CaptureSink logs(zv::log::Level::kError);
    auto r = recover_version(fresh.path(), testing::kTestTreeId, tree.config());
    EXPECT_EQ(!r.ok(), c.refused) << c.name;
    if (r.ok()) {
      // What the file truly lists, and every file kept.
      EXPECT_EQ(ids_of(*r), (std::vector<IdRuns>{{{5}}, {{6}}, {}, {}, {}, {}, {}})) << c.name;
    } else {
      EXPECT_EQ(r.error().kind(), TervikErrorKind::kUnrecoverable) << c.name;
      EXPECT_TRUE(logs.contains("lists table 5 twice")) << c.name;
    }
    EXPECT_FALSE(logs.events().empty()) << c.name;
    for (const char* name : {"5", "6", "7"}) {
      EXPECT_TRUE(zv::fs::exists(zv::fs::join(tree.tables(), name))) << c.name << ": table " << name;
    }
    EXPECT_TRUE(zv::fs::exists(zv::fs::join(fresh.path(), "v1"))) << c.name;
  }
}

TEST_F(RecoveryTest, ChecksumMismatchInCurrentRecoversAndKeepsEveryFile) {
  const Table t1 = tree_.table(1, "a", "b");
  persist(Version::create(3, TreeType::kStandard));
  persist(testing::version_of(12, {{{1}}}, {t1}));
  (void)tree_.table(17, "c", "d");
  touch(path("v13.tmp"));
  // Only the checksum part of "current" is damaged: the version still opens.
  auto current = zv::fs::read_file(path("current"));
  ASSERT_TRUE(current.ok());
  for (const std::string& damaged :
       {current->substr(0, 8) + std::string(17, '\x5a'), current->substr(0, 8)}) {
    ASSERT_TRUE(zv::fs::write_file(path("current"), damaged).ok());
    zv::log::CaptureSink logs(zv::log::Level::kError);
    auto r = recover();
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    EXPECT_EQ(ids_of(*r)[0], IdRuns{{1}});
    EXPECT_TRUE(logs.contains("keeping every file"));
    for (const std::string& p : {path("v3"), path("v13.tmp"), table_path("17")}) {
      EXPECT_TRUE(zv::fs::exists(p)) << p;
    }
  }
}

TEST_F(RecoveryTest, WrongLevelCountOrDuplicateIdsAreRefusedBeforeAnyDelete) {
  const Table t1 = tree_.table(1, "a", "b");
  (void)tree_.table(17, "c", "d");  // an orphan
  touch(path("v3"));
  auto levels_with_table = [](size_t n) {
    std::vector<PersistedLevel> levels(n);
    levels[0].push_back(PersistedRun{{1, Checksum(), 0}});
    return *encode_tables_section(levels);
  };
  std::string dup_blob = std::string("\x02\0\0\0", 4);
  for (int i = 0; i < 2; ++i) dup_blob += std::string("\x04", 1) + std::string(7, '\0') + std::string(17, '\0');
  struct Case {
    const char* name;
    zv::archive::testing::Sections sections;
  };
  auto with = [](std::string tables, std::string blob_files, std::optional<uint8_t> level_count) {
    zv::archive::testing::Sections s = {{"tables", std::move(tables)},
                                        {"blob_files", std::move(blob_files)},
                                        {"blob_gc_stats", std::string(4, '\0')},
                                        {"tree_type", std::string(1, '\0')}};
    if (level_count) s.push_back({"level_count", std::string(1, static_cast<char>(*level_count))});
    return s;
  };
  const std::string no_blobs(4, '\0');
  std::vector<PersistedLevel> dup_levels(7);
  dup_levels[0].push_back(PersistedRun{{1, Checksum(), 0}});
  dup_levels[2].push_back(PersistedRun{{1, Checksum(), 0}});
  const Case cases[] = {
      {"1 level", with(levels_with_table(1), no_blobs, std::nullopt)},
      {"3 levels", with(levels_with_table(3), no_blobs, std::nullopt)},
      {"9 levels", with(levels_with_table(9), no_blobs, std::nullopt)},
      {"3 levels under level_count 7", with(levels_with_table(3), no_blobs, 7)},
      {"7 levels under level_count 8", with(levels_with_table(7), no_blobs, 8)},
      {"a table listed twice", with(*encode_tables_section(dup_levels), no_blobs, std::nullopt)},
      {"a blob file listed twice", with(levels_with_table(7), dup_blob, std::nullopt)},
  };
  for (const Case& c : cases) {
    write_crafted(9, c.sections);
    zv::log::CaptureSink logs(zv::log::Level::kError);
    auto r = recover();
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_EQ(r.error().kind(), TervikErrorKind::kUnrecoverable) << c.name << ": " << r.error().to_string();
    EXPECT_FALSE(logs.events().empty()) << c.name;
    for (const std::string& p : {table_path("1"), table_path("17"), path("v3")}) {
      EXPECT_TRUE(zv::fs::exists(p)) << c.name << ": " << p;
    }
  }
  (void)t1;
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
