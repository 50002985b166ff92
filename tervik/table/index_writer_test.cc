#include "tervik/table/index_writer.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "platform/fs.h"
#include "platform/testing/temp_dir.h"
#include "tervik/table/testing/table_files.h"

namespace tervik {
namespace {

// A 16-byte end key for entry i.
std::string key16(size_t i) {
  char buf[17];
  std::snprintf(buf, sizeof(buf), "key-%012zu", i);
  return std::string(buf, 16);
}

IndexBlockEntry entry(size_t i) {
  return IndexBlockEntry{UserKey(std::string_view(key16(i))), 100 + i,
                         BlockHandle{i * 1000, static_cast<uint32_t>(500 + i)}};
}

// Writes `n` entries through `w` after `lead` bytes of data, finishes the
// archive, and returns the index block count.
uint64_t write_index(const std::string& path, BlockIndexWriter& w, size_t n, size_t lead) {
  auto out = TableOutput::create(path);
  EXPECT_TRUE(out.ok());
  EXPECT_TRUE((*out)->start_section("data").ok());
  EXPECT_TRUE((*out)->writer().write_all(std::string(lead, 'd')).ok());
  for (size_t i = 0; i < n; ++i) EXPECT_TRUE(w.register_data_block(entry(i)).ok());
  auto count = w.finish(**out);
  EXPECT_TRUE(count.ok());
  EXPECT_TRUE((*out)->finish_archive().ok());
  return count.ok() ? *count : 0;
}

TEST(IndexWriterTest, FullIndexWritesOneTliBlock) {
  zv::testing::TempDir dir;
  const std::string path = zv::fs::join(dir.path(), "1");
  FullIndexWriter w;
  w.set_partition_size(1);  // ignored by the full form
  EXPECT_EQ(write_index(path, w, 1, 77), 1u);
  const auto toc = testing::sections_of(path);
  EXPECT_EQ(toc.section(kSectionIndex), nullptr);
  ASSERT_NE(toc.section(kSectionTli), nullptr);
  const auto tli = testing::index_entries(
      testing::read_block(path, testing::section_handle(*toc.section(kSectionTli)), CompressionType::kNone));
  ASSERT_EQ(tli.size(), 1u);
  EXPECT_EQ(tli[0], entry(0));
}

TEST(IndexWriterTest, PartitionsCutAfterTheEntryReachingTheSize) {
  // 16-byte keys estimate 64 bytes per entry: 64 entries reach 4096.
  struct Case {
    size_t entries;
    uint64_t partitions;
  };
  const Case cases[] = {{1, 1}, {63, 1}, {64, 1}, {65, 2}, {128, 2}, {129, 3}};
  for (const auto& c : cases) {
    zv::testing::TempDir dir;
    const std::string path = zv::fs::join(dir.path(), "1");
    PartitionedIndexWriter w(CompressionType::kLz4);
    EXPECT_EQ(write_index(path, w, c.entries, 333), c.partitions) << c.entries;

    const auto toc = testing::sections_of(path);
    const auto* index = toc.section(kSectionIndex);
    const auto* tli_section = toc.section(kSectionTli);
    ASSERT_TRUE(index && tli_section) << c.entries;
    const auto top = testing::index_entries(
        testing::read_block(path, testing::section_handle(*tli_section), CompressionType::kLz4));
    ASSERT_EQ(top.size(), c.partitions) << c.entries;
    // Top-level offsets are file offsets: the first partition starts the section.
    EXPECT_EQ(top[0].handle.offset, index->pos) << c.entries;
    std::vector<IndexBlockEntry> all;
    uint64_t next = index->pos;
    for (size_t p = 0; p < top.size(); ++p) {
      EXPECT_EQ(top[p].handle.offset, next) << c.entries << " partition " << p;
      next += top[p].handle.size;
      const auto part = testing::index_entries(testing::read_block(path, top[p].handle, CompressionType::kLz4));
      ASSERT_FALSE(part.empty());
      if (p + 1 < top.size()) {
        EXPECT_EQ(part.size(), 64u) << c.entries;
      }
      EXPECT_EQ(top[p].end_key, part.back().end_key);
      EXPECT_EQ(top[p].seqno, part.back().seqno);
      all.insert(all.end(), part.begin(), part.end());
    }
    EXPECT_EQ(next, index->pos + index->len) << c.entries;
    ASSERT_EQ(all.size(), c.entries);
    for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i], entry(i)) << c.entries << " entry " << i;
  }
}

}  // namespace
}  // namespace tervik
