#include <gtest/gtest.h>

#include "platform/fs.h"
#include "tervik/table/table_inner.h"
#include "tervik/tree/table_openers.h"
#include "tervik/tree/testing/tree_fixture.h"

namespace tervik {
namespace {

using testing::put;

std::vector<std::string> entries_of(const Table& t) {
  std::vector<std::string> out;
  auto it = t.iter();
  while (auto e = it.next()) {
    out.push_back(std::string((*e)->key.user_key.view()) + "@" + std::to_string((*e)->key.seqno) +
                  ((*e)->is_tombstone() ? "x" : ""));
  }
  return out;
}

TEST(TreeFlush, NothingSealedWritesNothing) {
  testing::TreeDir dir;
  Tree t = dir.open();
  put(t, "a", "1", 1);
  auto r = t.flush_sealed_memtables(0);
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(r->has_value());
  EXPECT_EQ(t.inner()->table_id_counter.get(), 0u) << "no table id drawn";
}

TEST(TreeFlush, EveryVersionReachesTheTablesAtThresholdZero) {
  testing::TreeDir dir;
  Tree t = dir.open();
  put(t, "k", "1", 1);
  put(t, "j", "1", 2);
  auto first = t.rotate_memtable();
  t.remove("k", 3);
  put(t, "k", "4", 4);
  auto second = t.rotate_memtable();
  put(t, "later", "x", 5);
  auto r = t.flush_sealed_memtables(0);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(**r, first->size() + second->size());
  ASSERT_EQ(t.current_version().table_count(), 1u);
  EXPECT_EQ(entries_of(t.current_version().tables()[0]),
            (std::vector<std::string>{"j@2", "k@4", "k@3x", "k@1"}));
  EXPECT_EQ(t.sealed_memtable_count(), 0u);
  EXPECT_EQ(testing::read(t, "later", 100), "x") << "the active memtable stays";
}

TEST(TreeFlush, SnapshotsAtTheWatermarkKeepReadingTheirVersions) {
  // A snapshot at 2 reads k@1 and a deletion at 3 hides j@2 only from later
  // reads; a flush at watermark 2 keeps both, and drops only what every
  // snapshot has a newer version of.
  testing::TreeDir dir;
  Tree t = dir.open();
  put(t, "k", "old", 0);
  put(t, "k", "1", 1);
  put(t, "k", "2", 2);
  put(t, "j", "1", 2);
  t.remove("j", 3);
  auto sealed = t.rotate_memtable();
  auto r = t.flush_sealed_memtables(2);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  ASSERT_EQ(t.current_version().table_count(), 1u);
  EXPECT_EQ(entries_of(t.current_version().tables()[0]),
            (std::vector<std::string>{"j@3x", "j@2", "k@2", "k@1"}));
  EXPECT_EQ(testing::read(t, "k", 2), "1");
  EXPECT_EQ(testing::read(t, "j", 3), "1");
  EXPECT_EQ(testing::read(t, "k", 100), "2");
  EXPECT_EQ(testing::read(t, "j", 100), "<none>");
}

TEST(TreeFlush, OpenerFailureReleasesEarlierTablesAndKeepsFiles) {
  testing::TreeDir dir;
  Tree t = dir.open();
  put(t, "a", "1", 1);
  t.rotate_memtable();
  ASSERT_TRUE(t.flush_sealed_memtables(0).ok());
  const Table first = t.current_version().tables()[0];
  std::vector<WrittenTable> records = {{first.id(), first.checksum()}, {6, Checksum()}};
  ASSERT_TRUE(zv::fs::write_file(zv::fs::join(dir.tables(), "6"), "not a table").ok());
  auto r = tree::open_flushed_table(records, t.config(), t.id());
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(zv::fs::exists(zv::fs::join(dir.tables(), std::to_string(first.id()))));
  EXPECT_TRUE(zv::fs::exists(zv::fs::join(dir.tables(), "6")));
  // In order, and an ingested opener adds its seqno to every stored one.
  records.pop_back();
  auto ingested = ingest::open_ingested_table(records, dir.tables(), t.config(), t.id(), 100);
  ASSERT_TRUE(ingested.ok());
  EXPECT_EQ(entries_of((*ingested)[0]), (std::vector<std::string>{"a@101"}));
  EXPECT_FALSE((*ingested)[0].has_pinned_filter());
}

TEST(TreeFlush, FailingTableWriteLeavesTheTreeAsItWas) {
  testing::TreeDir dir;
  Tree t = dir.open();
  put(t, "a", "1", 1);
  t.rotate_memtable();
  // The next table id names an existing file: the write fails at creation.
  ASSERT_TRUE(zv::fs::write_file(zv::fs::join(dir.tables(), "0"), "in the way").ok());
  auto r = t.flush_sealed_memtables(0);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(t.sealed_memtable_count(), 1u);
  EXPECT_EQ(t.super_version_count(), 1u);
  EXPECT_EQ(t.current_version().table_count(), 0u);
  EXPECT_EQ(*zv::fs::read_file(zv::fs::join(dir.tables(), "0")), "in the way");
  // A retry writes them again under the next id.
  ASSERT_TRUE(t.flush_sealed_memtables(0).ok());
  EXPECT_EQ(testing::read(t, "a", 10), "1");
}

TEST(TreeFlush, LevelZeroPoliciesReachTheTables) {
  testing::TreeDir dir;
  TreeConfig config = dir.config();
  config.data_block_compression_policy = CompressionPolicy{CompressionType::kLz4};
  config.index_block_partitioning_policy = PinningPolicy{true};
  config.filter_policy = FilterPolicy{FilterPolicyEntry::none()};
  auto t = Tree::open(std::move(config));
  ASSERT_TRUE(t.ok());
  for (int i = 0; i < 100; ++i) put(*t, "key" + std::to_string(i), std::string(100, 'v'), 1 + i);
  t->rotate_memtable();
  ASSERT_TRUE(t->flush_sealed_memtables(0).ok());
  const Table table = t->current_version().tables()[0];
  EXPECT_EQ(table.meta().data_compression, CompressionType::kLz4);
  EXPECT_TRUE(table.inner()->regions.index.has_value()) << "partitioned index";
  EXPECT_FALSE(table.inner()->regions.filter.has_value()) << "no filter";
  EXPECT_FALSE(table.inner()->regions.filter_tli.has_value());
  EXPECT_EQ(testing::read(*t, "key42", 1000), std::string(100, 'v'));
}

}  // namespace
}  // namespace tervik
