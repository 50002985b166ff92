#include <gtest/gtest.h>

#include <algorithm>

#include "archive/src/reader.h"
#include "platform/coding.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "platform/testing/temp_dir.h"
#include "tervik/blob/blob_file_multi_writer.h"
#include "tervik/version/testing/sync_recorder.h"
#include "tervik/version/testing/version_builders.h"
#include "tervik/version/testing/version_fixture.h"
#include "tervik/version/version.h"
#include "tervik/version/version_file.h"

namespace tervik {
namespace {

std::string bytes(std::initializer_list<int> b) {
  std::string s;
  for (int x : b) s.push_back(static_cast<char>(x));
  return s;
}

std::string section_bytes(const std::string& path, const zv::archive::TocEntry& e) {
  auto r = zv::archive::section_reader(path, e);
  std::string out;
  EXPECT_TRUE(r.ok() && r->read_to_end(&out).ok());
  return out;
}

TEST(VersionFileTest, EmptyVersionGoldenSectionsAndCurrent) {
  zv::testing::TempDir dir;
  ASSERT_TRUE(Version::create(12, TreeType::kBlob).persist(dir.path()).ok());
  const std::string path = zv::fs::join(dir.path(), "v12");
  auto toc = zv::archive::ArchiveReader::open(path);
  ASSERT_TRUE(toc.ok());
  struct Want {
    const char* name;
    std::string content;
  };
  const Want want[] = {
      {"format_version", bytes({3})},
      {"core_version", "3.1.10"},
      {"tree_type", bytes({1})},
      {"level_count", bytes({7})},
      {"filter_hash_type", bytes({0})},
      {"tables", bytes({7, 0, 0, 0, 0, 0, 0, 0})},
      {"blob_files", bytes({0, 0, 0, 0})},
      {"blob_gc_stats", bytes({0, 0, 0, 0})},
  };
  ASSERT_EQ(toc->size(), std::size(want));
  uint64_t offset = 0;
  for (size_t i = 0; i < std::size(want); ++i) {
    const auto& e = toc->entries()[i];
    EXPECT_EQ(e.name, want[i].name);
    EXPECT_EQ(e.pos, offset) << e.name;
    EXPECT_EQ(section_bytes(path, e), want[i].content) << e.name;
    offset += e.len;
  }

  auto current = zv::fs::read_file(zv::fs::join(dir.path(), "current"));
  auto file = zv::fs::read_file(path);
  ASSERT_TRUE(current.ok() && file.ok());
  ASSERT_EQ(current->size(), 25u);
  EXPECT_EQ(zv::coding::get_u64_le(current->data()), 12u);
  EXPECT_EQ(Checksum::decode(reinterpret_cast<const uint8_t*>(current->data() + 8)), Checksum::of(*file));
  EXPECT_EQ((*current)[24], 0);
}

TEST(VersionFileTest, TablesSectionLayout) {
  std::vector<PersistedLevel> levels(7);
  levels[2].push_back({{1, Checksum(0x1111, 0x2222), 7}, {2, Checksum(), 0}, {3, Checksum(), 9}});
  auto encoded = encode_tables_section(levels);
  ASSERT_TRUE(encoded.ok());
  ASSERT_EQ(encoded->size(), 8u + 103u);
  std::string first_table;  // level 2's run: count 3, then table 1
  zv::coding::put_u32_le(&first_table, 3);
  zv::coding::put_u64_le(&first_table, 1);
  first_table.push_back(0);
  zv::coding::put_u64_le(&first_table, 0x1111);
  zv::coding::put_u64_le(&first_table, 0x2222);
  zv::coding::put_u64_le(&first_table, 7);
  EXPECT_EQ(encoded->substr(4, first_table.size()), first_table);
  auto decoded = decode_tables_section(*encoded, 0);
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(*decoded, levels);
}

TEST(VersionFileTest, CountsTheFormatCannotHoldFailBeforeWriting) {
  std::vector<PersistedLevel> levels(7);
  levels[0].resize(256, PersistedRun{{1, Checksum(), 0}});
  auto encoded = encode_tables_section(levels);
  ASSERT_FALSE(encoded.ok());
  EXPECT_EQ(encoded.error().io_error().kind(), zv::IoErrorKind::kInvalidInput);
  levels[0].resize(255);
  EXPECT_TRUE(encode_tables_section(levels).ok());

  // A real version with 256 level-0 runs (one overlapping table, 256 times).
  zv::testing::TempDir dir;
  testing::TreeFolder tree(dir.path());
  ASSERT_TRUE(Version::create(0, TreeType::kStandard).persist(dir.path()).ok());
  const Table t = tree.table(1, "a", "z");
  Version v = Version::create(0, TreeType::kStandard);
  for (int i = 0; i < 256; ++i) v = v.with_new_l0_run({t}, std::nullopt, std::nullopt);
  ASSERT_EQ(v.l0().run_count(), 256u);
  auto st = v.persist(dir.path());
  ASSERT_FALSE(st.ok());
  EXPECT_FALSE(zv::fs::exists(zv::fs::join(dir.path(), "v256")));
  EXPECT_EQ(read_current(dir.path())->version_id, 0u);
}

TEST(VersionFileTest, DamagedSectionsFailWithoutTrustingCounts) {
  auto u32 = [](uint32_t v) {
    std::string s;
    zv::coding::put_u32_le(&s, v);
    return s;
  };
  const std::string one_table = bytes({1, 1}) + u32(1) + std::string(8, '\0');
  std::string bad_type = bytes({1, 1}) + u32(1) + std::string(8, '\0') + bytes({2}) + std::string(24, '\0');
  struct Case {
    const char* name;
    std::string section;
    TervikErrorKind kind;
  };
  const Case tables[] = {
      {"huge table count", bytes({1, 1}) + u32(0xFFFFFFFF) + std::string(40, '\0'), TervikErrorKind::kIo},
      {"huge run count", bytes({1, 255}) + u32(1), TervikErrorKind::kIo},
      {"short table entry", one_table, TervikErrorKind::kIo},
      {"zero-table run", bytes({1, 1}) + u32(0), TervikErrorKind::kUnrecoverable},
      {"no levels", bytes({0}), TervikErrorKind::kUnrecoverable},
      {"checksum type 2", bad_type, TervikErrorKind::kInvalidTag},
      {"empty", "", TervikErrorKind::kIo},
  };
  zv::log::CaptureSink logs;
  for (const Case& c : tables) {
    auto r = decode_tables_section(c.section, 5);
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_EQ(r.error().kind(), c.kind) << c.name;
  }
  EXPECT_TRUE(logs.contains(kFatalPersistedRunEmpty));
  auto tag = decode_tables_section(bad_type, 5);
  EXPECT_EQ(tag.error().tag_name(), "ChecksumType");
  EXPECT_EQ(tag.error().tag_byte(), 2);

  auto blobs = decode_blob_files_section(u32(0xFFFFFFFF) + std::string(30, '\0'));
  ASSERT_FALSE(blobs.ok());
  EXPECT_EQ(blobs.error().io_error().kind(), zv::IoErrorKind::kUnexpectedEof);
  auto stats = decode_blob_gc_stats(u32(2) + std::string(28, '\0'));
  ASSERT_FALSE(stats.ok());
  EXPECT_EQ(stats.error().io_error().kind(), zv::IoErrorKind::kUnexpectedEof);
}

TEST(VersionFileTest, GcStatsRoundTripKeepsLowBitsOfLen) {
  const FragmentationMap map({{4, {(1ull << 32) + 5, 100, 60}}, {9, {1, 2, 3}}});
  auto encoded = encode_blob_gc_stats(map);
  ASSERT_TRUE(encoded.ok());
  EXPECT_EQ(encoded->size(), 4u + 2 * 28u);
  auto decoded = decode_blob_gc_stats(*encoded);
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(*decoded, FragmentationMap({{4, {5, 100, 60}}, {9, {1, 2, 3}}}));
  EXPECT_EQ(*encode_blob_gc_stats({}), bytes({0, 0, 0, 0}));
}

TEST(VersionFileTest, CreateRetriesSharingConflictsOnly) {
  zv::testing::TempDir dir;
  struct Case {
    const char* name;
    int conflicts;
    bool ok;
    int calls;
    std::vector<uint64_t> sleeps;
  };
  const Case cases[] = {
      {"five conflicts then success", 5, true, 6, {1, 2, 4, 8, 16}},
      {"the tenth attempt is final", 10, false, 10, {1, 2, 4, 8, 16, 32, 64, 128, 256}},
      {"no conflict", 0, true, 1, {}},
  };
  for (const Case& c : cases) {
    testing::ConflictingFs fs;
    fs.create_conflicts = c.conflicts;
    auto st = Version::create(1, TreeType::kStandard).persist(dir.path(), fs);
    EXPECT_EQ(st.ok(), c.ok) << c.name;
    EXPECT_EQ(fs.create_calls, c.calls) << c.name;
    EXPECT_EQ(fs.sleeps, c.sleeps) << c.name;
  }
  // An ordinary error is returned at once, even with errno 5 (EIO) or 32.
  testing::ConflictingFs fs;
  auto st = Version::create(1, TreeType::kStandard).persist(zv::fs::join(dir.path(), "missing"), fs);
  EXPECT_FALSE(st.ok());
  EXPECT_EQ(fs.create_calls, 1);
  EXPECT_FALSE(VersionFs::os().is_sharing_conflict(zv::IoError::from_errno(5)));
  EXPECT_FALSE(VersionFs::os().is_sharing_conflict(zv::IoError::from_errno(32)));
}

size_t event_index(const std::vector<std::string>& events, const std::string& event) {
  return static_cast<size_t>(std::find(events.begin(), events.end(), event) - events.begin());
}

TEST(VersionFileTest, EntriesAreDurableBeforeCurrentNamesThem) {
  if (!testing::SyncRecorder::available()) GTEST_SKIP() << "sync recording unavailable here";
  zv::testing::TempDir dir;
  testing::TreeFolder tree(dir.path());
  const std::string root = zv::fs::absolute(dir.path());
  testing::SyncRecorder recorder;

  // The multi-writers make the entries of their files durable.
  auto tables = MultiWriter::create(tree.tables(), SeqNoCounter(1), 1 << 20, 0);
  ASSERT_TRUE(tables.ok());
  ASSERT_TRUE(tables->write(InternalValue::new_value(Slice(std::string_view("k")), Slice(), 1)).ok());
  ASSERT_TRUE(std::move(*tables).finish().ok());
  ASSERT_TRUE(zv::fs::create_dir_all(tree.blobs()).ok());
  auto blobs = BlobFileMultiWriter::create(tree.blobs(), SeqNoCounter(1), 1, nullptr);
  ASSERT_TRUE(blobs.ok());
  ASSERT_TRUE(blobs->write("k", 1, "value").ok());
  ASSERT_TRUE(std::move(*blobs).finish().ok());
  const auto written = recorder.events();
  EXPECT_LT(event_index(written, "sync " + root + "/tables/1"), written.size());
  EXPECT_LT(event_index(written, "sync " + root + "/tables/1"),
            event_index(written, "sync " + root + "/tables"));
  EXPECT_LT(event_index(written, "sync " + root + "/blobs/1"),
            event_index(written, "sync " + root + "/blobs"));
  EXPECT_LT(event_index(written, "sync " + root + "/blobs"), written.size());

  ASSERT_TRUE(Version::create(4, TreeType::kStandard).persist(dir.path()).ok());
  const auto events = recorder.events();
  const size_t file = event_index(events, "sync " + root + "/v4.tmp");
  const size_t folder = event_index(events, "sync " + root);
  const size_t current = event_index(events, "rename " + root + "/current");
  const size_t renamed = event_index(events, "rename " + root + "/v4");
  EXPECT_LT(file, renamed);
  EXPECT_LT(renamed, folder);
  EXPECT_LT(folder, current);
  EXPECT_LT(current, events.size());
}

TEST(VersionFileTest, PersistFailureAtEveryStepLeavesARecoverableTree) {
  using Step = testing::FailingFs::Step;
  const Step steps[] = {Step::kNone,   Step::kCreate,  Step::kWrite,   Step::kSync,
                        Step::kRename, Step::kSyncDir, Step::kCurrent, Step::kCurrentAfterRename};
  // A failure in the first attempt, a crash (recovery) right there, then a
  // retry of the same version failing at any step and another crash.
  for (Step first : steps) {
    for (Step retry : steps) {
      const std::string name =
          "first " + std::to_string(static_cast<int>(first)) + ", retry " + std::to_string(static_cast<int>(retry));
      zv::testing::TempDir dir;
      testing::TreeFolder tree(dir.path());
      const Table t1 = tree.table(1, "a", "b");
      ASSERT_TRUE(testing::version_of(1, {{{1}}}, {t1}).persist(dir.path()).ok());
      const Version next = testing::version_of(2, {{{1}}}, {t1});
      auto recovers_old_or_new = [&](const char* when) {
        auto r = recover_version(dir.path(), testing::kTestTreeId, tree.config());
        ASSERT_TRUE(r.ok()) << name << " " << when << ": " << r.error().to_string();
        EXPECT_TRUE(r->id() == 1 || r->id() == 2) << name << " " << when;
        EXPECT_EQ(r->table_count(), 1u) << name << " " << when;
      };

      testing::FailingFs fs;
      fs.fail_at = first;
      EXPECT_EQ(next.persist(dir.path(), fs).ok(), first == Step::kNone) << name;
      recovers_old_or_new("after the first attempt");
      fs.fail_at = retry;
      EXPECT_EQ(next.persist(dir.path(), fs).ok(), retry == Step::kNone) << name;
      recovers_old_or_new("after the retry");
      if (retry == Step::kNone) {
        EXPECT_EQ(read_current(dir.path())->version_id, 2u) << name;
      }
    }
  }
}

}  // namespace
}  // namespace tervik
