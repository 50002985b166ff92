#include "morva/src/journal/writer.h"

#include <gtest/gtest.h>

#include "morva/src/journal/manager.h"
#include "platform/testing/faulty_file_system.h"
#include "morva/src/testing/journal_bytes.h"
#include "platform/testing/temp_dir.h"

namespace morva {
namespace {

using zv::testing::FaultyFileSystem;
using zv::testing::FaultOp;
using tervik::CompressionType;
using tervik::ValueType;

uint64_t total_calls(const FaultyFileSystem& fs) {
  uint64_t sum = 0;
  for (size_t op = 0; op < zv::testing::kFaultOpCount; ++op) sum += fs.calls(static_cast<FaultOp>(op));
  return sum;
}

class JournalWriterTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return zv::fs::join(dir_.path(), name); }
  JournalWriter create(const std::string& name) {
    auto w = JournalWriter::create(fs_, path(name));
    EXPECT_TRUE(w.ok()) << w.error().debug_string();
    return std::move(w).value();
  }
  zv::testing::TempDir dir_;
  FaultyFileSystem fs_;
};

TEST_F(JournalWriterTest, NewFileIsPreallocatedZerosAndItsNameIsSynced) {
  JournalWriter w = create("0.jnl");
  EXPECT_EQ(fs_.calls(FaultOp::kSetLen), 1u);
  EXPECT_EQ(fs_.calls(FaultOp::kSyncAll), 1u);
  EXPECT_EQ(fs_.calls(FaultOp::kSyncDir), 1u);
  const std::string bytes = testing::read_all(path("0.jnl"));
  ASSERT_EQ(bytes.size(), kJournalPreallocatedSize);
  EXPECT_EQ(bytes.find_first_not_of('\0'), std::string::npos);
  EXPECT_EQ(w.position(), 0u);
  EXPECT_FALSE(w.is_dirty());
}

TEST_F(JournalWriterTest, CreationFailures) {
  testing::write_all(path("7.jnl"), "hello");
  auto exists = JournalWriter::create(fs_, path("7.jnl"));
  ASSERT_FALSE(exists.ok());
  EXPECT_TRUE(exists.error().is_io(zv::IoErrorKind::kAlreadyExists));
  EXPECT_EQ(testing::read_all(path("7.jnl")), "hello");

  for (FaultOp op : {FaultOp::kOpen, FaultOp::kSetLen, FaultOp::kSyncAll,
                         FaultOp::kSyncDir}) {
    fs_.fail_nth(op, 1);
    auto w = JournalWriter::create(fs_, path(std::to_string(static_cast<int>(op)) + ".jnl"));
    ASSERT_FALSE(w.ok()) << static_cast<int>(op);
    EXPECT_EQ(w.error().kind(), MorvaErrorKind::kIo);
    fs_.clear();
  }
}

TEST_F(JournalWriterTest, OneItemBatchLayout) {
  JournalWriter w = create("0.jnl");
  w.set_compression(CompressionType::kLz4, 4096);
  auto n = w.write_single_item(3, std::string(10, 'k'), std::string(100, 'v'), ValueType::kValue, 42);
  ASSERT_TRUE(n.ok());
  EXPECT_EQ(*n, 157u);
  EXPECT_EQ(w.position(), 157u);
  EXPECT_TRUE(w.is_dirty());
  ASSERT_TRUE(w.persist(PersistMode::kBuffer).ok());
  const std::string item = testing::raw_item({3, std::string(10, 'k'), std::string(100, 'v')});
  ASSERT_EQ(item.size(), 131u);
  std::string expected;
  encode_journal_start(&expected, 1, 42);
  expected += item;
  encode_journal_end(&expected, zv::xxh3_64(item.data(), item.size()));
  EXPECT_EQ(testing::read_all(path("0.jnl")).substr(0, 160), expected + std::string(3, '\0'));
}

TEST_F(JournalWriterTest, PersistModesAndSystemCalls) {
  JournalWriter w = create("0.jnl");
  const uint64_t before = total_calls(fs_);
  ASSERT_TRUE(w.persist(PersistMode::kBuffer).ok());
  EXPECT_EQ(total_calls(fs_), before) << "a clean Buffer persist makes no call";
  ASSERT_TRUE(w.persist(PersistMode::kSyncAll).ok());
  EXPECT_EQ(fs_.calls(FaultOp::kSyncAll), 2u) << "a clean SyncAll still syncs";
  ASSERT_TRUE(w.persist(PersistMode::kSyncData).ok());
  EXPECT_EQ(fs_.calls(FaultOp::kSync), 1u);
  EXPECT_EQ(fs_.calls(FaultOp::kSyncAll), 2u);
  EXPECT_EQ(fs_.calls(FaultOp::kWrite), 0u);

  ASSERT_TRUE(w.write_single_item(1, "a", "b", ValueType::kValue, 1).ok());
  EXPECT_EQ(fs_.calls(FaultOp::kWrite), 0u) << "appends stay buffered";
  ASSERT_TRUE(w.persist(PersistMode::kBuffer).ok());
  EXPECT_EQ(fs_.calls(FaultOp::kWrite), 1u);
  EXPECT_EQ(fs_.calls(FaultOp::kSyncAll) + fs_.calls(FaultOp::kSync), 3u);
}

TEST_F(JournalWriterTest, DirtyFlagIsClearedOnlyByASuccessfulPersist) {
  JournalWriter w = create("0.jnl");
  ASSERT_TRUE(w.write_single_item(1, "key", "value", ValueType::kValue, 5).ok());
  fs_.fail_nth(FaultOp::kWrite, 1);
  auto st = w.persist(PersistMode::kBuffer);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind(), MorvaErrorKind::kIo);
  EXPECT_TRUE(w.is_dirty());
  fs_.fail_nth(FaultOp::kSync, 1);
  EXPECT_FALSE(w.persist(PersistMode::kSyncData).ok());
  EXPECT_FALSE(w.is_dirty()) << "the bytes reached the system; only the sync failed";
  ASSERT_TRUE(w.persist(PersistMode::kSyncData).ok());
  EXPECT_EQ(testing::read_all(path("0.jnl")).substr(0, w.position()),
            testing::raw_batch(5, {{1, "key", "value"}}));
}

TEST_F(JournalWriterTest, LengthsTheFormatCannotHoldWriteNothing) {
  JournalWriter w = create("0.jnl");
  const std::string long_key(65536, 'k');
  auto single = w.write_single_item(1, long_key, "v", ValueType::kValue, 1);
  ASSERT_FALSE(single.ok());
  EXPECT_TRUE(single.error().is_io(zv::IoErrorKind::kInvalidInput));
  const JournalWriteItem items[] = {{1, "fine", "v", ValueType::kValue},
                                    {1, long_key, "v", ValueType::kValue}};
  auto batch = w.write_batch(items, 2);
  ASSERT_FALSE(batch.ok());
  EXPECT_TRUE(batch.error().is_io(zv::IoErrorKind::kInvalidInput));
  EXPECT_EQ(w.position(), 0u);
  EXPECT_FALSE(w.is_dirty());
  // The largest key still fits.
  EXPECT_TRUE(w.write_single_item(1, std::string(65535, 'k'), "v", ValueType::kValue, 3).ok());
}

TEST_F(JournalWriterTest, LargeBatchesBypassTheBuffer) {
  JournalWriter w = create("0.jnl");
  std::vector<std::string> keys, values;
  std::vector<JournalWriteItem> items;
  for (int i = 0; i < 50; ++i) {
    keys.push_back("k" + std::to_string(i));
    values.push_back(std::string(i * 700, static_cast<char>('a' + i % 26)));
  }
  for (int i = 0; i < 50; ++i) {
    items.push_back({static_cast<uint64_t>(i % 3), keys[i], values[i], ValueType::kValue});
  }
  ASSERT_TRUE(w.write_single_item(9, "first", "x", ValueType::kTombstone, 1).ok());
  auto n = w.write_batch(items, 2);
  ASSERT_TRUE(n.ok());
  ASSERT_TRUE(w.persist(PersistMode::kSyncAll).ok());
  std::vector<testing::RawItem> raw;
  for (const auto& it : items) raw.push_back({it.keyspace_id, std::string(it.key), std::string(it.value)});
  const std::string expected = testing::raw_batch(1, {{9, "first", "x", ValueType::kTombstone}}) +
                               testing::raw_batch(2, raw);
  EXPECT_EQ(w.position(), expected.size());
  const std::string got = testing::read_all(path("0.jnl")).substr(0, expected.size());
  EXPECT_TRUE(got == expected) << "first difference at "
                               << std::mismatch(got.begin(), got.end(), expected.begin()).first - got.begin();
}

TEST_F(JournalWriterTest, RotationNeedsANumberedFileName) {
  EXPECT_EQ(journal_file_number("41.jnl").value(), 41u);
  EXPECT_EQ(journal_file_number("+41.jnl").value(), 41u);
  for (const char* bad : {"abc.jnl", ".jnl", "+.jnl", "++4.jnl", "41.jn", "4a.jnl", "-1.jnl", "41", "99999999999999999999.jnl"}) {
    auto n = journal_file_number(bad);
    ASSERT_FALSE(n.ok()) << bad;
    EXPECT_EQ(n.error().debug_string(), "JournalRecovery(InvalidFileName)");
  }
  JournalWriter w = create("active.jnl");
  JournalManager manager(fs_);
  auto st = rotate_journal(w, manager, {});
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().debug_string(), "JournalRecovery(InvalidFileName)");
  EXPECT_EQ(manager.sealed_journal_count(), 0u);
}

}  // namespace
}  // namespace morva
