#include "tervik/table/table_writer.h"

#include <gtest/gtest.h>

#include "platform/checksum.h"
#include "platform/clock.h"
#include "platform/coding.h"
#include "platform/fs.h"
#include "platform/testing/temp_dir.h"
#include "tervik/block/bloom_filter.h"
#include "tervik/table/table_meta.h"
#include "tervik/table/testing/table_files.h"

namespace tervik {
namespace {

using testing::meta_u64;
using testing::meta_value;

InternalValue item(std::string_view key, std::string_view value, SeqNo seqno,
                   ValueType type = ValueType::kValue) {
  return InternalValue::from_components(UserKey(key), UserValue(value), seqno, type);
}

class TableWriterTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name = "7") { return zv::fs::join(dir_.path(), name); }

  // Writes `items` into a new table and returns what finish gave.
  std::optional<WrittenTable> write(const std::vector<InternalValue>& items,
                                    const std::function<void(TableWriter&)>& setup = {},
                                    const std::string& name = "7") {
    auto w = TableWriter::create(path(name), 7, 2);
    EXPECT_TRUE(w.ok());
    if (!w.ok()) return std::nullopt;
    if (setup) setup(*w);
    for (const auto& i : items) EXPECT_TRUE(w->write(i).ok());
    auto r = std::move(*w).finish();
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().to_string());
    return r.ok() ? *r : std::nullopt;
  }

  zv::testing::TempDir dir_;
};

TEST_F(TableWriterTest, NoItemsDeletesTheFile) {
  auto w = TableWriter::create(path(), 7, 0);
  ASSERT_TRUE(w.ok());
  EXPECT_TRUE(zv::fs::exists(path()));
  auto r = std::move(*w).finish();
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(r->has_value());
  EXPECT_FALSE(zv::fs::exists(path()));
}

TEST_F(TableWriterTest, ExistingFileIsRefusedAndKept) {
  ASSERT_TRUE(zv::fs::write_file(path(), "precious").ok());
  auto w = TableWriter::create(path(), 7, 0);
  ASSERT_FALSE(w.ok());
  EXPECT_EQ(w.error().kind(), TervikErrorKind::kIo);
  EXPECT_EQ(w.error().io_error().kind(), zv::IoErrorKind::kAlreadyExists);
  EXPECT_EQ(*zv::fs::read_file(path()), "precious");
}

TEST_F(TableWriterTest, OneItemMetaBlock) {
  const uint64_t before = zv::now_ns();
  const auto table = write({item("a", "v", 5)});
  const uint64_t after = zv::now_ns();
  ASSERT_TRUE(table.has_value());
  EXPECT_EQ(table->id, 7u);
  const auto file = zv::fs::read_file(path());
  ASSERT_TRUE(file.ok());
  EXPECT_EQ(table->checksum, Checksum::of(*file));

  const auto toc = testing::sections_of(path());
  std::vector<std::string> names;
  for (const auto& e : toc.entries()) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{"data", "tli", "filter", "table_version", "meta"}));
  const auto* data = toc.section(kSectionData);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->pos, 0u);
  EXPECT_LT(data->len, file->size());
  const auto* version = toc.section(kSectionTableVersion);
  ASSERT_TRUE(version && version->len == 1);
  EXPECT_EQ((*file)[version->pos], '\x03');

  auto u64 = [](uint64_t v) {
    std::string s;
    zv::coding::put_u64_le(&s, v);
    return s;
  };
  const std::string b0(1, '\0'), b1(1, '\1');
  struct Case {
    const char* key;
    std::string value;  // empty: checked separately
  };
  const Case golden[] = {
      {kMetaBlockCountData, u64(1)},
      {kMetaBlockCountFilter, u64(1)},
      {kMetaBlockCountIndex, u64(1)},
      {kMetaChecksumType, b0},
      {kMetaCompressionData, b0},
      {kMetaCompressionIndex, b0},
      {kMetaCoreVersion, "3.1.10"},
      {kMetaCreatedAt, ""},
      {kMetaDataBlockHashRatio, std::string(4, '\0')},
      {kMetaFileSize, u64(data->len)},
      {kMetaFilterHashType, b0},
      {kMetaIndexKeysHaveSeqno, b1},
      {kMetaInitialLevel, std::string(1, '\2')},
      {kMetaItemCount, u64(1)},
      {kMetaKeyMax, "a"},
      {kMetaKeyMin, "a"},
      {kMetaKeyCount, u64(1)},
      {kMetaPrefixTruncationData, b1},
      {kMetaPrefixTruncationIndex, b1},
      {kMetaRestartIntervalData, std::string(1, '\x10')},
      {kMetaRestartIntervalIndex, b1},
      {kMetaSeqnoMax, u64(5)},
      {kMetaSeqnoMin, u64(5)},
      {kMetaTableId, u64(7)},
      {kMetaTableVersion, std::string(1, '\3')},
      {kMetaTombstoneCount, u64(0)},
      {kMetaUserDataSize, u64(data->len - kBlockHeaderSize)},
      {kMetaWeakTombstoneCount, u64(0)},
      {kMetaWeakTombstoneReclaimable, u64(0)},
  };
  const DataBlock meta = testing::meta_block(path());
  EXPECT_EQ(meta.block().header.block_type, BlockType::kMeta);
  const auto stored = testing::data_items(meta.block());
  ASSERT_EQ(stored.size(), std::size(golden));
  for (size_t i = 0; i < std::size(golden); ++i) {
    const auto& g = golden[i];
    EXPECT_EQ(stored[i].key.user_key.view(), g.key) << i;  // stored in this order
    EXPECT_EQ(stored[i].key.seqno, 0u);
    const auto v = meta_value(meta, g.key);
    ASSERT_TRUE(v.has_value()) << g.key;
    if (!g.value.empty()) {
      EXPECT_EQ(*v, g.value) << g.key;
    }
  }
  const auto created = meta_value(meta, kMetaCreatedAt);
  ASSERT_EQ(created->size(), 16u);
  EXPECT_EQ(zv::coding::get_u64_le(created->data() + 8), 0u);
  const uint64_t created_ns = zv::coding::get_u64_le(created->data());
  EXPECT_GE(created_ns, before);
  EXPECT_LE(created_ns, after);
}

TEST_F(TableWriterTest, BlocksAreCutByKeyPlusValueBytes) {
  struct Case {
    size_t value_len;  // key is 4 bytes
    std::vector<size_t> block_items;
  };
  const Case cases[] = {{4092, {1, 1, 1, 1, 1}}, {3996, {2, 2, 1}}, {10, {5}}};
  int n = 0;
  for (const auto& c : cases) {
    std::vector<InternalValue> items;
    for (int i = 0; i < 5; ++i) items.push_back(item("key" + std::to_string(i), std::string(c.value_len, 'x'), 1));
    const std::string name = std::to_string(++n);
    ASSERT_TRUE(write(items, {}, name).has_value());
    const auto toc = testing::sections_of(path(name));
    const auto tli = testing::index_entries(
        testing::read_block(path(name), testing::section_handle(*toc.section("tli")), CompressionType::kNone));
    ASSERT_EQ(tli.size(), c.block_items.size()) << c.value_len;
    uint64_t offset = 0;
    size_t next = 0;
    for (size_t b = 0; b < tli.size(); ++b) {
      EXPECT_EQ(tli[b].handle.offset, offset) << c.value_len;
      offset += tli[b].handle.size;
      const auto got = testing::data_items(testing::read_block(path(name), tli[b].handle, CompressionType::kNone));
      ASSERT_EQ(got.size(), c.block_items[b]) << c.value_len << " block " << b;
      next += got.size();
      EXPECT_EQ(tli[b].end_key, got.back().key.user_key);
      EXPECT_EQ(tli[b].end_key, items[next - 1].key.user_key);
    }
    EXPECT_EQ(offset, toc.section("data")->len);
    EXPECT_EQ(meta_u64(testing::meta_block(path(name)), kMetaBlockCountData), c.block_items.size());
  }
}

TEST_F(TableWriterTest, CountsItemsKeysAndTombstones) {
  using VT = ValueType;
  struct Case {
    const char* name;
    std::vector<InternalValue> items;
    uint32_t block_size;
    uint64_t items_count, keys, tombstones, weak, reclaimable;
  };
  const Case cases[] = {
      {"three versions", {item("k", "3", 9), item("k", "2", 7), item("k", "1", 5)}, 4096, 3, 1, 0, 0, 0},
      {"weak then value", {item("k", "", 9, VT::kWeakTombstone), item("k", "v", 8)}, 4096, 2, 1, 1, 1, 1},
      {"weak then value across blocks", {item("k", "", 9, VT::kWeakTombstone), item("k", "v", 8)}, 1, 2, 1, 1, 1, 1},
      {"tombstone then value", {item("k", "", 9, VT::kTombstone), item("k", "v", 8)}, 4096, 2, 1, 1, 0, 0},
      {"weak then other key", {item("j", "", 9, VT::kWeakTombstone), item("k", "v", 8)}, 4096, 2, 2, 1, 1, 0},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(write(c.items, [&](TableWriter& w) { w.data_block_size = c.block_size; }, c.name).has_value());
    const DataBlock meta = testing::meta_block(path(c.name));
    EXPECT_EQ(meta_u64(meta, kMetaItemCount), c.items_count) << c.name;
    EXPECT_EQ(meta_u64(meta, kMetaKeyCount), c.keys) << c.name;
    EXPECT_EQ(meta_u64(meta, kMetaTombstoneCount), c.tombstones) << c.name;
    EXPECT_EQ(meta_u64(meta, kMetaWeakTombstoneCount), c.weak) << c.name;
    EXPECT_EQ(meta_u64(meta, kMetaWeakTombstoneReclaimable), c.reclaimable) << c.name;
    // One filter registration per distinct key: the filter is sized for them.
    const auto toc = testing::sections_of(path(c.name));
    const Block filter =
        testing::read_block(path(c.name), testing::section_handle(*toc.section("filter")), CompressionType::kNone);
    auto reader = BloomFilterReader::parse(filter.data.view());
    auto expected = BloomFilter::with_bits_per_key(c.keys, 10.0f);
    ASSERT_TRUE(reader.ok() && expected.ok() && expected->has_value());
    EXPECT_EQ(reader->bit_count(), (*expected)->bit_count()) << c.name;
  }
}

TEST_F(TableWriterTest, ZeroBitsPerKeyWritesNoFilter) {
  ASSERT_TRUE(write({item("a", "1", 1), item("b", "2", 1)},
                    [](TableWriter& w) { w.use_bloom_policy(FilterPolicyEntry::bits_per_key(0.0f)); })
                  .has_value());
  EXPECT_EQ(testing::sections_of(path()).section("filter"), nullptr);
  EXPECT_EQ(meta_u64(testing::meta_block(path()), kMetaBlockCountFilter), 0u);
}

TEST_F(TableWriterTest, LinkedBlobFilesSection) {
  const std::vector<LinkedBlobFile> files = {{7, 420, 150, 2}, {9, 1, 2, 3}};
  ASSERT_TRUE(write({item("a", "1", 1)}, [&](TableWriter& w) { w.linked_blob_files = files; }).has_value());
  const auto toc = testing::sections_of(path());
  const auto* s = toc.section(kSectionLinkedBlobFiles);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(s->len, 4u + 64u);
  const std::string bytes = zv::fs::read_file(path())->substr(s->pos, s->len);
  std::string want;
  for (uint64_t v : {7, 2, 420, 150, 9, 3, 1, 2}) zv::coding::put_u64_le(&want, v);
  EXPECT_EQ(zv::coding::get_u32_le(bytes.data()), 2u);
  EXPECT_EQ(bytes.substr(4), want);

  ASSERT_TRUE(write({item("a", "1", 1)}, {}, "8").has_value());
  EXPECT_EQ(testing::sections_of(path("8")).section(kSectionLinkedBlobFiles), nullptr);
}

TEST_F(TableWriterTest, SectionTooLargeForAHandleFailsAndDeletesTheFile) {
  std::vector<InternalValue> items;
  for (int i = 0; i < 300; ++i) items.push_back(item("key" + std::to_string(1000 + i), "v", 1));
  ASSERT_TRUE(write(items, [](TableWriter& w) { w.data_block_size = 64; }, "probe").has_value());
  uint64_t largest = 0;
  const auto probe = testing::sections_of(path("probe"));
  for (const auto& e : probe.entries()) {
    if (e.name != kSectionData) largest = std::max(largest, e.len);
  }
  ASSERT_GT(largest, 0u);
  struct Case {
    uint64_t limit;
    bool ok;
  };
  for (const Case c : {Case{largest, true}, Case{largest - 1, false}}) {
    const std::string name = "limit" + std::to_string(c.limit);
    auto w = TableWriter::create(path(name), 7, 0);
    ASSERT_TRUE(w.ok());
    w->data_block_size = 64;
    w->use_max_region_length(c.limit);
    for (const auto& i : items) ASSERT_TRUE(w->write(i).ok());
    auto r = std::move(*w).finish();
    EXPECT_EQ(r.ok(), c.ok) << c.limit;
    EXPECT_EQ(zv::fs::exists(path(name)), c.ok) << c.limit;
    if (!c.ok) {
      EXPECT_EQ(r.error().kind(), TervikErrorKind::kIo);
    }
  }
}

}  // namespace
}  // namespace tervik
