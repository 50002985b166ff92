#include "morva/src/journal/manager.h"

#include <gtest/gtest.h>

#include "platform/testing/faulty_file_system.h"
#include "morva/src/testing/journal_bytes.h"
#include "morva/src/testing/test_keyspace.h"
#include "platform/testing/temp_dir.h"

namespace morva {
namespace {

using zv::testing::FaultyFileSystem;
using zv::testing::FaultOp;
using testing::TestKeyspace;

class JournalManagerTest : public ::testing::Test {
 protected:
  // Lists a sealed journal file named `n`.jnl with the given watermarks.
  void seal(int n, std::vector<JournalWatermark> watermarks, uint64_t size = 100) {
    const std::string path = zv::fs::join(dir_.path(), journal_file_name(n));
    testing::write_all(path, "x");
    manager_.enqueue(SealedJournal{path, std::move(watermarks), size});
  }
  bool exists(int n) const { return zv::fs::exists(zv::fs::join(dir_.path(), journal_file_name(n))); }

  zv::testing::TempDir dir_;
  FaultyFileSystem fs_;
  JournalManager manager_{fs_};
  std::shared_ptr<TestKeyspace> a_ = std::make_shared<TestKeyspace>("a");
  std::shared_ptr<TestKeyspace> b_ = std::make_shared<TestKeyspace>("b");
};

TEST_F(JournalManagerTest, AnOldestJournalWithoutTablesBlocksNewerFlushedOnes) {
  seal(1, {{a_, 10}});
  seal(2, {{b_, 20}});
  b_->persisted = 100;
  ASSERT_TRUE(manager_.maintenance().ok());
  EXPECT_EQ(manager_.sealed_journal_count(), 2u);
  EXPECT_TRUE(exists(1) && exists(2));

  a_->persisted = 9;  // a watermark not yet reached stops it too
  ASSERT_TRUE(manager_.maintenance().ok());
  EXPECT_EQ(manager_.sealed_journal_count(), 2u);

  a_->persisted = 10;
  ASSERT_TRUE(manager_.maintenance().ok());
  EXPECT_EQ(manager_.sealed_journal_count(), 0u);
  EXPECT_FALSE(exists(1) || exists(2));
  EXPECT_EQ(manager_.disk_space_used(), 0u);
}

TEST_F(JournalManagerTest, EveryWatermarkOfTheOldestMustPass) {
  seal(1, {{a_, 5}, {b_, 7}});
  seal(2, {});
  a_->persisted = 5;
  b_->persisted = 6;
  ASSERT_TRUE(manager_.maintenance().ok());
  EXPECT_EQ(manager_.sealed_journal_count(), 2u);
  b_->persisted = 7;
  ASSERT_TRUE(manager_.maintenance().ok());
  EXPECT_EQ(manager_.sealed_journal_count(), 0u) << "a journal without watermarks goes once oldest";
}

TEST_F(JournalManagerTest, AFailedDeleteKeepsTheEntryListed) {
  seal(1, {});
  seal(2, {});
  fs_.fail_nth(FaultOp::kRemove, 2);
  auto st = manager_.maintenance();
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind(), MorvaErrorKind::kIo);
  ASSERT_EQ(manager_.sealed_journal_count(), 1u);
  EXPECT_FALSE(exists(1));
  EXPECT_TRUE(exists(2));
  EXPECT_EQ(manager_.disk_space_used(), 100u);
  ASSERT_TRUE(manager_.maintenance().ok());
  EXPECT_EQ(manager_.sealed_journal_count(), 0u);
}

TEST_F(JournalManagerTest, DiskSpaceCounterSaturates) {
  seal(1, {}, UINT64_MAX - 5);
  seal(2, {}, 100);
  EXPECT_EQ(manager_.disk_space_used(), UINT64_MAX);
  ASSERT_TRUE(manager_.maintenance().ok());
  EXPECT_EQ(manager_.disk_space_used(), 0u) << "never below zero";
}

}  // namespace
}  // namespace morva
