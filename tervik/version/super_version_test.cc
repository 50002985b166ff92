#include <gtest/gtest.h>

#include <limits>

#include "platform/fs.h"
#include "platform/log.h"
#include "platform/testing/temp_dir.h"
#include "tervik/core/testing/panic_capture.h"
#include "tervik/version/super_version.h"
#include "tervik/version/testing/version_builders.h"
#include "tervik/version/testing/version_fixture.h"

namespace tervik {
namespace {

// A tree folder whose super versions have seqnos 0, 5 and 9 (versions 0, 1, 2).
class SuperVersionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Version::create(0, TreeType::kStandard).persist(dir_.path()).ok());
    for (uint64_t s : {5, 9}) {
      seqno_.raise_to(s);
      const SuperVersion& last = list_.latest();
      auto r = testing::append_version(list_, dir_.path(), seqno_, visible_,
                                    last.version.with_new_l0_run({}, std::nullopt, std::nullopt),
                                    last.active_memtable, last.sealed_memtables);
      ASSERT_TRUE(r.ok());
      ASSERT_EQ(*r, s);
    }
  }
  bool version_file(uint64_t id) const { return zv::fs::exists(zv::fs::join(dir_.path(), "v" + std::to_string(id))); }
  std::vector<SeqNo> seqnos() const {
    std::vector<SeqNo> out;
    for (size_t i = 0; i < list_.size(); ++i) out.push_back(list_.at(i).seqno);
    return out;
  }

  zv::testing::TempDir dir_;
  SeqNoCounter seqno_{0};
  SeqNoCounter visible_{0};
  SuperVersions list_{Version::create(0, TreeType::kStandard)};
};

TEST_F(SuperVersionTest, FindForSnapshot) {
  struct Case {
    SeqNo snapshot;
    SeqNo seqno;
  };
  const Case cases[] = {{0, 0}, {1, 0}, {5, 0}, {6, 5}, {9, 5}, {10, 9},
                        {std::numeric_limits<SeqNo>::max(), 9}};
  for (const Case& c : cases) {
    EXPECT_EQ(list_.find_for_snapshot(c.snapshot).seqno, c.seqno) << "snapshot " << c.snapshot;
  }
  EXPECT_EQ(list_.find_for_snapshot(0).version.id(), 0u);
  EXPECT_EQ(list_.latest().version.id(), 2u);
  EXPECT_EQ(list_.latest().active_memtable, list_.at(0).active_memtable) << "memtables are shared";

  ASSERT_TRUE(list_.gc(dir_.path(), 9).ok());  // leaves seqnos 5, 9
  zv::log::CaptureSink logs;
  EXPECT_EQ(testing::panic_message([&] { (void)list_.find_for_snapshot(3); }), kFatalFindSuperVersion);
  EXPECT_TRUE(logs.contains("Failed to find a SuperVersion for snapshot with seqno=3"));
  EXPECT_TRUE(logs.contains("-> 2, seqno=9"));
  EXPECT_TRUE(logs.contains("-> 1, seqno=5"));
}

TEST_F(SuperVersionTest, AppendPersistsBeforePublishingAndOnlyRaisesVisible) {
  EXPECT_EQ(visible_.get(), 10u);
  EXPECT_EQ(read_current(dir_.path())->version_id, 2u);
  visible_.raise_to(100);
  const SuperVersion last = list_.latest();
  auto r = testing::append_version(list_, dir_.path(), seqno_, visible_,
                                last.version.with_new_l0_run({}, std::nullopt, std::nullopt),
                                last.active_memtable, last.sealed_memtables);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, 10u);
  EXPECT_EQ(visible_.get(), 100u) << "never lowered";
  EXPECT_EQ(read_current(dir_.path())->version_id, 3u);

  testing::ConflictingFs failing;
  failing.create_conflicts = 10;
  auto failed = testing::append_version(list_, dir_.path(), seqno_, visible_,
                                     list_.latest().version.with_new_l0_run({}, std::nullopt, std::nullopt),
                                     last.active_memtable, last.sealed_memtables, failing);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(list_.size(), 4u);
  EXPECT_EQ(list_.latest().version.id(), 3u);
  EXPECT_EQ(read_current(dir_.path())->version_id, 3u);
  EXPECT_EQ(seqno_.get(), 12u) << "the drawn seqno stays consumed";
  EXPECT_EQ(visible_.get(), 100u);
}

TEST_F(SuperVersionTest, ManifestGc) {
  struct Case {
    const char* name;
    SeqNo watermark;
    std::vector<SeqNo> left;
    std::vector<bool> files;  // v0, v1, v2 present afterwards
  };
  const Case cases[] = {
      {"watermark 0", 0, {0, 5, 9}, {true, true, true}},
      {"watermark 5: only seqno 0 is below", 5, {0, 5, 9}, {true, true, true}},
      {"watermark 9 drops only the oldest", 9, {5, 9}, {false, true, true}},
      {"watermark 10 keeps only the newest", 10, {9}, {false, false, true}},
      {"a single super version stays", 100, {9}, {false, false, true}},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(list_.gc(dir_.path(), c.watermark).ok()) << c.name;
    EXPECT_EQ(seqnos(), c.left) << c.name;
    EXPECT_EQ((std::vector<bool>{version_file(0), version_file(1), version_file(2)}), c.files) << c.name;
  }
}

TEST_F(SuperVersionTest, GcToleratesMissingFilesAndRetriesConflicts) {
  ASSERT_TRUE(zv::fs::remove_file(zv::fs::join(dir_.path(), "v0")).ok());
  testing::ConflictingFs fs;
  fs.remove_conflicts = 5;
  ASSERT_TRUE(list_.gc(dir_.path(), 10, fs).ok());
  EXPECT_EQ(seqnos(), (std::vector<SeqNo>{9}));
  EXPECT_EQ(fs.remove_calls, 6) << "v0 was missing; v1 took five retries";
  EXPECT_EQ(fs.sleeps, (std::vector<uint64_t>{1, 2, 4, 8, 16}));
  EXPECT_FALSE(version_file(1));
  EXPECT_TRUE(version_file(2));
}

TEST_F(SuperVersionTest, FailedGcLeavesTheFilesForRecovery) {
  // The entries leave the list under the lock; their files are deleted after
  // it, and a file that cannot be deleted stays for recovery's clean-up.
  testing::ConflictingFs fs;
  fs.remove_conflicts = 100;
  ASSERT_FALSE(list_.gc(dir_.path(), 10, fs).ok());
  EXPECT_EQ(seqnos(), (std::vector<SeqNo>{9}));
  EXPECT_TRUE(version_file(0));
  EXPECT_TRUE(version_file(1));
}

}  // namespace
}  // namespace tervik
