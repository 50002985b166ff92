#include <gtest/gtest.h>

#include <functional>

#include "archive/src/testing/archive_files.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "tervik/tree/testing/tree_fixture.h"
#include "tervik/version/recovery.h"

namespace tervik {
namespace {

using Sections = zv::archive::testing::Sections;

// The sections of a good version file of `levels` (7 empty by default).
Sections good_sections(std::vector<PersistedLevel> levels = std::vector<PersistedLevel>(7)) {
  return {{"format_version", std::string(1, '\x03')},
          {"core_version", "3.1.10"},
          {"tree_type", std::string(1, '\0')},
          {"level_count", std::string(1, '\x07')},
          {"filter_hash_type", std::string(1, '\0')},
          {"tables", *encode_tables_section(levels)},
          {"blob_files", std::string(4, '\0')},
          {"blob_gc_stats", std::string(4, '\0')}};
}

Sections with(Sections s, const std::string& name, std::optional<std::string> bytes) {
  std::erase_if(s, [&](const auto& kv) { return kv.first == name && !bytes; });
  for (auto& [n, b] : s) {
    if (n == name && bytes) b = *bytes;
  }
  return s;
}

// Writes "v<id>" of the sections and points "current" at it.
void write_version(const std::string& folder, uint64_t id, const Sections& sections) {
  const std::string bytes = zv::archive::testing::build_archive(sections);
  (void)zv::archive::testing::store(folder, version_file_name(id), bytes);
  ASSERT_TRUE(zv::fs::write_file(zv::fs::join(folder, "current"), encode_current(id, Checksum::of(bytes))).ok());
}

TEST(TreeOpen, CreatesAndReopens) {
  testing::TreeDir dir;
  {
    Tree t = dir.open();
    EXPECT_EQ(t.inner()->table_id_counter.get(), 0u) << "a new tree starts table ids at 0";
    for (const char* name : {"v0", "current", "tables"}) {
      EXPECT_TRUE(zv::fs::exists(zv::fs::join(dir.path(), name))) << name;
    }
    EXPECT_EQ(t.super_version_count(), 1u);
    EXPECT_EQ(t.inner()->memtable_id_counter.get(), 1u);
  }
  Tree again = dir.open();
  EXPECT_EQ(again.inner()->table_id_counter.get(), 1u) << "a reopened tree without tables starts at 1";
  EXPECT_NE(again.id(), dir.open().id()) << "tree ids are never shared";
}

TEST(TreeOpen, TableIdCounterStartsAboveTheHighestTable) {
  testing::TreeDir dir;
  {
    Tree t = dir.open();
    t.inner()->table_id_counter.raise_to(41);
    testing::put(t, "k", "v", 1);
    t.rotate_memtable();
    auto flushed = t.flush_sealed_memtables(0);
    ASSERT_TRUE(flushed.ok()) << flushed.error().to_string();
    ASSERT_EQ(t.current_version().tables().at(0).id(), 41u);
  }
  EXPECT_EQ(dir.open().inner()->table_id_counter.get(), 42u);
}

TEST(TreeOpen, RefusedFolders) {
  struct Case {
    const char* name;
    std::function<void(const std::string&)> setup;
    TervikErrorKind kind;
    uint8_t version;   // of InvalidVersion
    std::string log;   // logged at error level, when set
  };
  auto crafted = [](Sections s) { return [s](const std::string& f) { write_version(f, 3, s); }; };
  const Case cases[] = {
      {"legacy folder with current",
       [](const std::string& f) {
         (void)zv::fs::write_file(zv::fs::join(f, "version"), "x");
         (void)zv::fs::write_file(zv::fs::join(f, "current"), "x");
       },
       TervikErrorKind::kInvalidVersion, 1, "V1 database"},
      {"format 2 after the other checks", crafted(with(good_sections(), "format_version", "\x02")),
       TervikErrorKind::kInvalidVersion, 2, ""},
      {"format 0", crafted(with(good_sections(), "format_version", std::string(1, '\0'))),
       TervikErrorKind::kInvalidVersion, 0, ""},
      {"format 4", crafted(with(good_sections(), "format_version", "\x04")), TervikErrorKind::kInvalidVersion, 4,
       ""},
      {"format 2 with a bad level count",
       crafted(with(with(good_sections(), "format_version", "\x02"), "level_count", "\x07\x07")),
       TervikErrorKind::kUnrecoverable, 0, "level count should be 7"},
      {"level_count 8 over 7 levels of tables", crafted(with(good_sections(), "level_count", "\x08")),
       TervikErrorKind::kUnrecoverable, 0, "levels"},
      {"filter hash 1", crafted(with(good_sections(), "filter_hash_type", "\x01")),
       TervikErrorKind::kUnrecoverable, 0, "filter_hash_type should be XXH3"},
      {"filter hash too long", crafted(with(good_sections(), "filter_hash_type", std::string(2, '\0'))),
       TervikErrorKind::kUnrecoverable, 0, "filter_hash_type should be XXH3"},
      {"no format_version", crafted(with(good_sections(), "format_version", std::nullopt)),
       TervikErrorKind::kUnrecoverable, 0, "format_version section should exist in manifest"},
      {"no level_count", crafted(with(good_sections(), "level_count", std::nullopt)),
       TervikErrorKind::kUnrecoverable, 0, "level_count section should exist in manifest"},
      {"no filter_hash_type", crafted(with(good_sections(), "filter_hash_type", std::nullopt)),
       TervikErrorKind::kUnrecoverable, 0, "filter_hash_type section should exist in manifest"},
      {"tree type 2", crafted(with(good_sections(), "tree_type", "\x02")), TervikErrorKind::kInvalidHeader, 0, ""},
      {"tables of 3 levels", crafted(good_sections(std::vector<PersistedLevel>(3))),
       TervikErrorKind::kUnrecoverable, 0, "levels"},
      {"tables of 8 levels", crafted(good_sections(std::vector<PersistedLevel>(8))),
       TervikErrorKind::kUnrecoverable, 0, "levels"},
  };
  for (const Case& c : cases) {
    testing::TreeDir dir;
    ASSERT_TRUE(zv::fs::create_dir_all(dir.tables()).ok());
    c.setup(dir.path());
    ASSERT_TRUE(zv::fs::write_file(zv::fs::join(dir.tables(), "9"), "a table file").ok());
    zv::log::CaptureSink logs(zv::log::Level::kError);
    const uint64_t before = next_tree_id();
    auto t = Tree::open(dir.config());
    ASSERT_FALSE(t.ok()) << c.name;
    EXPECT_EQ(t.error().kind(), c.kind) << c.name << ": " << t.error().to_string();
    if (c.kind == TervikErrorKind::kInvalidVersion) {
      EXPECT_EQ(t.error().version(), c.version) << c.name;
    }
    if (c.kind == TervikErrorKind::kInvalidHeader) {
      EXPECT_EQ(t.error().header_name(), "TreeType") << c.name;
    }
    if (!c.log.empty()) {
      EXPECT_TRUE(logs.contains(c.log)) << c.name;
    }
    // Failures inside recovery delete nothing; the header checks come after
    // its clean-up of orphans (such as this unlisted file) and delete no more.
    const bool in_recovery = c.kind == TervikErrorKind::kInvalidHeader || c.log == "levels" || c.version == 1;
    if (in_recovery) {
      EXPECT_TRUE(zv::fs::exists(zv::fs::join(dir.tables(), "9"))) << c.name << ": table file kept";
    }
    EXPECT_TRUE(zv::fs::exists(zv::fs::join(dir.path(), "v3")) || c.version == 1) << c.name;
    const bool legacy = c.version == 1;
    EXPECT_EQ(next_tree_id(), before + (legacy ? 1 : 2)) << c.name << ": a failed recovery consumes an id";
  }
}

TEST(TreeOpen, TreeTypeMismatchNamesBothTypes) {
  testing::TreeDir standard, blob;
  (void)standard.open();
  ASSERT_TRUE(open_tree(testing::separated(blob.config())).ok());
  struct Case {
    const testing::TreeDir* dir;
    bool separate;
    const char* log;
  };
  const Case cases[] = {
      {&standard, true, "Tried to open a BlobTree, but the existing tree is of type StandardTree."},
      {&blob, false, "Tried to open a StandardTree, but the existing tree is of type BlobTree."},
  };
  for (const Case& c : cases) {
    zv::log::CaptureSink logs(zv::log::Level::kError);
    TreeConfig config = c.dir->config();
    if (c.separate) config = testing::separated(std::move(config));
    auto t = open_tree(std::move(config));
    ASSERT_FALSE(t.ok()) << c.log;
    EXPECT_EQ(t.error().kind(), TervikErrorKind::kUnrecoverable);
    EXPECT_TRUE(logs.contains(c.log)) << c.log;
  }
}

TEST(TreeOpen, BlobFileIdCounterStartsAboveEveryNamedBlobFile) {
  struct Case {
    const char* name;
    std::vector<uint64_t> stats_ids;
    uint64_t want;
  };
  const Case cases[] = {
      {"no blob files", {}, 0},
      {"statistics of a removed blob file 12", {12}, 13},
  };
  for (const Case& c : cases) {
    testing::TreeDir dir;
    ASSERT_TRUE(zv::fs::create_dir_all(dir.tables()).ok());
    FragmentationMap stats;
    for (uint64_t id : c.stats_ids) stats.add(id, FragmentationEntry{1, 2, 3});
    Sections s = with(good_sections(), "tree_type", "\x01");
    s = with(s, "blob_gc_stats", *encode_blob_gc_stats(stats));
    write_version(dir.path(), 0, s);
    ASSERT_TRUE(zv::fs::create_dir_all(zv::fs::join(dir.path(), "blobs")).ok()) << "an existing folder is fine";
    auto h = open_tree(testing::separated(dir.config()));
    ASSERT_TRUE(h.ok()) << c.name << ": " << h.error().to_string();
    ASSERT_TRUE(h->is_blob());
    EXPECT_EQ(h->index().inner()->blob_file_id_counter.get(), c.want) << c.name;
  }
}

TEST(TreeOpen, BlobsFolderThatCannotBeCreatedIsIo) {
  testing::TreeDir dir;
  (void)open_tree(testing::separated(dir.config()));
  ASSERT_TRUE(zv::fs::remove_dir_all(zv::fs::join(dir.path(), "blobs")).ok());
  ASSERT_TRUE(zv::fs::write_file(zv::fs::join(dir.path(), "blobs"), "a file in the way").ok());
  auto h = open_tree(testing::separated(dir.config()));
  ASSERT_FALSE(h.ok());
  EXPECT_EQ(h.error().kind(), TervikErrorKind::kIo);
  // The tree was released: the folder opens again once the way is clear.
  ASSERT_TRUE(zv::fs::remove_file(zv::fs::join(dir.path(), "blobs")).ok());
  EXPECT_TRUE(open_tree(testing::separated(dir.config())).ok());
}

TEST(TreeOpen, EveryNewFolderEntryIsSynced) {
  // Records the folder syncs and the rewrites of "current", in order.
  struct RecordingFs : VersionFs {
    std::vector<std::string> events;
    zv::IoStatus sync_dir(const std::string& path) override {
      events.push_back("sync " + path);
      return VersionFs::sync_dir(path);
    }
    zv::IoStatus rewrite_atomic(const std::string& path, std::string_view content) override {
      events.push_back("rewrite " + path);
      return VersionFs::rewrite_atomic(path, content);
    }
  };
  zv::testing::TempDir root;
  const std::string base = zv::fs::absolute(root.path());
  const std::string tree = zv::fs::join(base, "a/b/tree");
  RecordingFs fs;
  auto h = open_tree(testing::separated(TreeConfig::create(tree, SeqNoCounter(1), SeqNoCounter(1))), fs);
  ASSERT_TRUE(h.ok()) << h.error().to_string();
  const auto& e = fs.events;
  auto at = [&](const std::string& event) { return std::find(e.begin(), e.end(), event) - e.begin(); };
  for (const std::string& folder : {base, base + "/a", base + "/a/b", tree}) {
    EXPECT_LT(at("sync " + folder), static_cast<long>(e.size())) << folder;
  }
  // The tree folder is synced again after "blobs" was made in it.
  EXPECT_EQ(e.back(), "sync " + tree);
  EXPECT_LT(at("rewrite " + tree + "/current"), static_cast<long>(e.size()) - 1);
  // A reopen creates nothing and syncs no parent.
  RecordingFs again;

  ASSERT_TRUE(open_tree(testing::separated(TreeConfig::create(tree, SeqNoCounter(1), SeqNoCounter(1))), again).ok());
  EXPECT_TRUE(again.events.empty());
}

}  // namespace
}  // namespace tervik
