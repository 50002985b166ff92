// The sequential scanner: every data block read once, in file order, and
// never past the data section.
#include <gtest/gtest.h>

#include <cstdio>

#include "platform/fs.h"
#include "platform/testing/temp_dir.h"
#include "tervik/table/table.h"
#include "tervik/table/table_inner.h"
#include "tervik/table/testing/table_builder.h"

namespace tervik {
namespace {

TEST(TableScannerTest, ReadsEachDataBlockOnceAndStops) {
  zv::testing::TempDir dir;
  const std::string path = zv::fs::join(dir.path(), "t");
  std::vector<InternalValue> items;
  for (size_t k = 0; k < 30; ++k) {
    char key[16];
    std::snprintf(key, sizeof(key), "k%05zu", k);
    items.push_back(InternalValue::new_value(UserKey(std::string_view(key)), UserValue(std::string(40, 'v')), 7));
  }
  testing::TableOptions o;
  o.block_size = 500;
  o.data_compression = CompressionType::kLz4;
  ASSERT_TRUE(testing::write_table(path, 1, items, o).ok());
  auto t = Table::recover(path, Checksum(), 0, 1, BlockCache::with_capacity_bytes(1 << 20), nullptr,
                          false, false);
  ASSERT_TRUE(t.ok());
  ASSERT_EQ(t->meta().data_block_count, 3u);
  // Entries of the first block: up to its end key in the index.
  auto index = t->inner()->block_index.iter();
  ASSERT_TRUE(index.ok());
  auto first = index->next();
  ASSERT_TRUE(first.ok() && first->has_value());
  size_t in_first = 0;
  while (items[in_first].key.user_key != (*first)->end_key) ++in_first;
  ++in_first;
  ASSERT_LT(in_first, 20u);

  struct Case {
    const char* name;
    uint64_t block_count;
    size_t want_items;
    uint64_t want_blocks;
  };
  const Case cases[] = {
      {"the stored count", 3, 30, 3},
      {"a count of 0 still reads the first block", 0, in_first, 1},
      {"a count of 1", 1, in_first, 1},
  };
  for (const auto& c : cases) {
    auto s = TableScanner::create(path, c.block_count, CompressionType::kLz4, 1000);
    ASSERT_TRUE(s.ok()) << c.name;
    EXPECT_EQ(s->blocks_read(), 1u) << c.name;
    size_t n = 0;
    while (auto e = s->next()) {
      ASSERT_TRUE(e->ok()) << c.name << ": " << e->error().debug_string();
      ASSERT_LT(n, c.want_items) << c.name;
      EXPECT_EQ((**e).key.user_key, items[n].key.user_key) << c.name;
      EXPECT_EQ((**e).key.seqno, 1007u) << c.name;
      ++n;
    }
    EXPECT_EQ(n, c.want_items) << c.name;
    EXPECT_EQ(s->blocks_read(), c.want_blocks) << c.name;
    EXPECT_FALSE(s->next().has_value()) << c.name;
  }
  // Asking for more blocks than the data section holds runs into the index
  // blocks, which a data scanner refuses.
  auto over = TableScanner::create(path, 4, CompressionType::kLz4, 0);
  ASSERT_TRUE(over.ok());
  ReadItem e;
  size_t n = 0;
  while ((e = over->next()) && e->ok()) ++n;
  EXPECT_EQ(n, 30u);
  ASSERT_TRUE(e.has_value());
  EXPECT_FALSE(over->next().has_value()) << "finished after the error";

  // A stored length beyond the file is the short read it would be, refused
  // before a buffer of that length exists.
  auto bytes = *zv::fs::read_file(path);
  const uint64_t second = (*first)->handle.offset + (*first)->handle.size;
  auto h = BlockHeader::decode(std::string_view(bytes).substr(second));
  ASSERT_TRUE(h.ok());
  h->data_length = 0x7FFF'FFFF;
  std::string header;
  h->encode_to(&header);
  bytes.replace(second, kBlockHeaderSize, header);
  const std::string damaged = path + ".damaged";
  ASSERT_TRUE(zv::fs::write_file(damaged, bytes).ok());
  auto s = TableScanner::create(damaged, 3, CompressionType::kLz4, 0);
  ASSERT_TRUE(s.ok());
  n = 0;
  while ((e = s->next()) && e->ok()) ++n;
  EXPECT_EQ(n, in_first);
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->error().io_error().kind(), zv::IoErrorKind::kUnexpectedEof);

  auto missing = TableScanner::create(path + "x", 3, CompressionType::kNone, 0);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind(), TervikErrorKind::kIo);
}

}  // namespace
}  // namespace tervik
