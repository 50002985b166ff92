#include "morva/src/journal/journal.h"

#include <gtest/gtest.h>

#include "morva/src/journal/manager.h"
#include "platform/testing/faulty_file_system.h"
#include "morva/src/testing/journal_bytes.h"
#include "morva/src/testing/test_keyspace.h"
#include "platform/log.h"
#include "platform/testing/temp_dir.h"
#include "tervik/core/testing/panic_capture.h"

namespace morva {
namespace {

using zv::testing::FaultyFileSystem;
using zv::testing::FaultOp;
using testing::TestKeyspace;
using tervik::CompressionType;
using tervik::ValueType;

class JournalTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return zv::fs::join(dir_.path(), name); }
  zv::testing::TempDir dir_;
  FaultyFileSystem fs_;
};

TEST_F(JournalTest, RotationSealsTheFileAndContinuesInTheNext) {
  auto journal = Journal::create(fs_, path("41.jnl"));
  ASSERT_TRUE(journal.ok());
  (*journal)->with_compression(CompressionType::kLz4, 100);
  JournalManager manager(fs_);
  auto ks = std::make_shared<TestKeyspace>("default");
  {
    auto w = (*journal)->lock();
    ASSERT_TRUE(w.ok());
    ASSERT_TRUE((*w)->write_single_item(1, "a", "b", ValueType::kValue, 7).ok());
    const uint64_t syncs = fs_.calls(FaultOp::kSyncAll);
    ASSERT_TRUE(rotate_journal(**w, manager, {{ks, 7}}).ok());
    EXPECT_EQ(fs_.calls(FaultOp::kSyncAll), syncs + 2) << "old file synced, new one created";
    EXPECT_EQ((*w)->compression(), CompressionType::kLz4);
    EXPECT_EQ((*w)->compression_threshold(), 100u);
    ASSERT_TRUE((*w)->write_single_item(1, "c", std::string(200, 'd'), ValueType::kValue, 8).ok());
    ASSERT_TRUE((*w)->persist(PersistMode::kBuffer).ok());
  }
  EXPECT_EQ(*(*journal)->active_path(), path("42.jnl"));
  ASSERT_EQ(manager.sealed_journal_count(), 1u);
  EXPECT_EQ(manager.sealed_journals()[0].path, path("41.jnl"));
  EXPECT_EQ(manager.sealed_journals()[0].size, kJournalPreallocatedSize);
  EXPECT_EQ(manager.disk_space_used(), kJournalPreallocatedSize);
  EXPECT_EQ(manager.sealed_journals()[0].watermarks[0].seqno, 7u);
  EXPECT_EQ(testing::read_all(path("41.jnl")).substr(0, 13 + 23 + 13),
            testing::raw_batch(7, {{1, "a", "b"}}));
  const std::string next = testing::read_all(path("42.jnl"));
  EXPECT_EQ(next.size(), kJournalPreallocatedSize);
  EXPECT_EQ(next[13 + 2], 1) << "compression carried over";
}

TEST_F(JournalTest, JournalLockPersistAndDrop) {
  {
    auto journal = Journal::create(fs_, path("0.jnl"));
    ASSERT_TRUE(journal.ok());
    (*journal)->with_compression(CompressionType::kNone, 0);
    {
      auto w = (*journal)->lock();
      ASSERT_TRUE((*w)->write_single_item(1, "k", "v", ValueType::kValue, 1).ok());
    }
    EXPECT_EQ(*(*journal)->active_path(), path("0.jnl"));
    ASSERT_TRUE((*journal)->persist(PersistMode::kBuffer).ok());
  }
  // Dropped: persisted with SyncAll (creation's sync plus the drop's).
  EXPECT_EQ(fs_.calls(FaultOp::kSyncAll), 2u);
}

TEST_F(JournalTest, BatchReaderOverTheActiveFile) {
  auto journal = Journal::create(fs_, path("5.jnl"));
  ASSERT_TRUE(journal.ok());
  {
    auto w = (*journal)->lock();
    ASSERT_TRUE((*w)->write_single_item(1, "a", "b", ValueType::kValue, 1).ok());
    const JournalWriteItem items[] = {{2, "c", "d", ValueType::kWeakTombstone}, {2, "e", "", ValueType::kTombstone}};
    ASSERT_TRUE((*w)->write_batch(items, 2).ok());
  }
  ASSERT_TRUE((*journal)->persist(PersistMode::kSyncData).ok());
  auto reader = (*journal)->get_batch_reader();
  ASSERT_TRUE(reader.ok());
  std::vector<JournalBatch> batches;
  while (true) {
    auto b = reader->next();
    ASSERT_TRUE(b.ok());
    if (!*b) break;
    batches.push_back(std::move(**b));
  }
  ASSERT_EQ(batches.size(), 2u);
  EXPECT_EQ(batches[1].seqno, 2u);
  EXPECT_EQ(batches[1].items[0].value_type, ValueType::kWeakTombstone);
  EXPECT_EQ(testing::read_all(path("5.jnl")).size(), 13 + 23 + 13 + 13 + 23 + 22 + 13u)
      << "the preallocated tail is cut";
  fs_.fail_nth(FaultOp::kOpen, 1);
  EXPECT_EQ((*journal)->get_batch_reader().error().kind(), MorvaErrorKind::kIo);
}

TEST_F(JournalTest, PoisonedWriterLock) {
  zv::log::CaptureSink logs(zv::log::Level::kError);
  {
    auto created = Journal::create(fs_, path("0.jnl"));
    ASSERT_TRUE(created.ok());
    std::shared_ptr<Journal> journal = *created;
    const std::string message = tervik::testing::panic_message([&] {
      auto w = journal->lock();
      zv::panic("writer died");
    });
    EXPECT_EQ(message, "writer died");
    EXPECT_EQ(journal->persist(PersistMode::kSyncAll).error().kind(), MorvaErrorKind::kPoisoned);
    EXPECT_EQ(journal->active_path().error().kind(), MorvaErrorKind::kPoisoned);
    EXPECT_EQ(journal->get_batch_reader().error().kind(), MorvaErrorKind::kPoisoned);
    EXPECT_EQ(journal->lock().error().kind(), MorvaErrorKind::kPoisoned);
    const std::string compress = tervik::testing::panic_message(
        [&] { journal->with_compression(CompressionType::kLz4, 1); });
    EXPECT_EQ(compress.rfind("lock is poisoned", 0), 0u) << compress;
  }
  // The drop logged and did not panic.
  EXPECT_TRUE(logs.contains("Flush error on drop"));
}

}  // namespace
}  // namespace morva
