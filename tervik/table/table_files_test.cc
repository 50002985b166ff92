// Writes tables under every combination of index form, filter form, data
// compression and hash ratio, and reads each back section by section with the
// archive reader and the block decoders.
#include <gtest/gtest.h>

#include <cstdio>

#include "platform/fs.h"
#include "platform/testing/temp_dir.h"
#include "tervik/block/bloom_filter.h"
#include "tervik/table/multi_writer.h"
#include "tervik/table/table_meta.h"
#include "tervik/table/testing/table_files.h"

namespace tervik {
namespace {

enum class FilterForm { kFull, kPartitioned, kNone };

std::vector<InternalValue> stream() {
  std::vector<InternalValue> items;
  for (size_t k = 0; k < 2500; ++k) {
    char key[24];
    std::snprintf(key, sizeof(key), "user%07zu", k * 7);
    const int versions = k % 10 == 0 ? 3 : 1;
    for (int v = 0; v < versions; ++v) {
      const SeqNo seqno = 1000 - static_cast<SeqNo>(v);
      if (k % 13 == 0 && v == 0) {
        items.push_back(InternalValue::new_tombstone(UserKey(std::string_view(key)), seqno));
      } else {
        items.push_back(InternalValue::new_value(
            UserKey(std::string_view(key)), UserValue(std::string(k % 50, static_cast<char>('a' + v))), seqno));
      }
    }
  }
  return items;
}

// The data block handles of a table, through its one- or two-level index.
std::vector<IndexBlockEntry> data_blocks(const std::string& path, const zv::archive::Toc& toc, bool partitioned) {
  const auto tli = testing::index_entries(
      testing::read_block(path, testing::section_handle(*toc.section("tli")), CompressionType::kNone));
  if (!partitioned) return tli;
  std::vector<IndexBlockEntry> all;
  for (const auto& p : tli) {
    const auto part = testing::index_entries(testing::read_block(path, p.handle, CompressionType::kNone));
    EXPECT_EQ(part.back().end_key, p.end_key);
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

TEST(TableFilesTest, EveryLayoutReadsBack) {
  const auto items = stream();
  for (bool partitioned_index : {false, true}) {
    for (FilterForm filter : {FilterForm::kFull, FilterForm::kPartitioned, FilterForm::kNone}) {
      for (CompressionType compression : {CompressionType::kNone, CompressionType::kLz4}) {
        for (float ratio : {0.0f, 0.75f}) {
          const std::string label = std::string(partitioned_index ? "partitioned index" : "full index") +
                                    ", filter " + std::to_string(static_cast<int>(filter)) + ", " +
                                    std::string(compression_type_name(compression)) + ", ratio " +
                                    std::to_string(ratio);
          zv::testing::TempDir dir;
          auto w = MultiWriter::create(dir.path(), SeqNoCounter(1), 64 << 20, 1);
          ASSERT_TRUE(w.ok()) << label << ": " << w.error().to_string();
          w->use_data_block_size(256);
          w->use_data_block_compression(compression);
          w->use_data_block_hash_ratio(ratio);
          w->use_bloom_policy(filter == FilterForm::kNone ? FilterPolicyEntry::bits_per_key(0.0f)
                                                          : FilterPolicyEntry::bits_per_key(50.0f));
          if (partitioned_index) w->use_partitioned_index();
          if (filter == FilterForm::kPartitioned) w->use_partitioned_filter();
          for (const auto& i : items) ASSERT_TRUE(w->write(i).ok()) << label;
          auto tables = std::move(*w).finish();
          ASSERT_TRUE(tables.ok()) << label;
          ASSERT_EQ(tables->size(), 1u) << label;
          const std::string path = zv::fs::join(dir.path(), "1");
          EXPECT_EQ((*tables)[0].checksum, Checksum::of(*zv::fs::read_file(path))) << label;

          const auto toc = testing::sections_of(path);
          EXPECT_EQ(toc.section("index") != nullptr, partitioned_index) << label;
          EXPECT_EQ(toc.section("filter") != nullptr, filter != FilterForm::kNone) << label;
          EXPECT_EQ(toc.section("filter_tli") != nullptr, filter == FilterForm::kPartitioned) << label;

          // Data blocks in index order hold the stream exactly.
          std::vector<InternalValue> read;
          for (const auto& e : data_blocks(path, toc, partitioned_index)) {
            const Block block = testing::read_block(path, e.handle, compression);
            EXPECT_EQ(block.header.block_type, BlockType::kData);
            const auto got = testing::data_items(block);
            ASSERT_FALSE(got.empty()) << label;
            EXPECT_EQ(got.back().key.user_key, e.end_key) << label;
            EXPECT_EQ(got.back().key.seqno, e.seqno) << label;
            read.insert(read.end(), got.begin(), got.end());
          }
          ASSERT_EQ(read.size(), items.size()) << label;
          for (size_t i = 0; i < items.size(); ++i) {
            ASSERT_EQ(read[i].key.user_key, items[i].key.user_key) << label << " item " << i;
            ASSERT_EQ(read[i].key.seqno, items[i].key.seqno) << label << " item " << i;
            ASSERT_EQ(read[i].key.value_type, items[i].key.value_type) << label << " item " << i;
            ASSERT_EQ(read[i].value, items[i].value) << label << " item " << i;
          }

          const DataBlock meta = testing::meta_block(path);
          EXPECT_EQ(testing::meta_u64(meta, kMetaItemCount), items.size()) << label;
          EXPECT_EQ(testing::meta_u64(meta, kMetaKeyCount), 2500u) << label;
          const uint64_t index_blocks = testing::meta_u64(meta, kMetaBlockCountIndex);
          if (partitioned_index) {
            EXPECT_GT(index_blocks, 1u) << label;
          } else {
            EXPECT_EQ(index_blocks, 1u) << label;
          }
          EXPECT_EQ(testing::meta_value(meta, kMetaCompressionData),
                    std::string(1, static_cast<char>(compression)))
              << label;
          if (filter == FilterForm::kNone) continue;

          // Every key is in its filter.
          std::vector<IndexBlockEntry> parts;
          if (filter == FilterForm::kPartitioned) {
            parts = testing::index_entries(testing::read_block(
                path, testing::section_handle(*toc.section("filter_tli")), CompressionType::kNone));
            EXPECT_GT(parts.size(), 1u) << label;
          } else {
            parts.push_back(IndexBlockEntry{items.back().key.user_key, 0, testing::section_handle(*toc.section("filter"))});
          }
          EXPECT_EQ(testing::meta_u64(meta, kMetaBlockCountFilter), filter == FilterForm::kFull ? 1u : parts.size())
              << label;
          size_t p = 0;
          std::string payload(testing::read_block(path, parts[0].handle, CompressionType::kNone).data.view());
          for (const auto& i : items) {
            while (parts[p].end_key < i.key.user_key) {
              ++p;
              payload = std::string(testing::read_block(path, parts[p].handle, CompressionType::kNone).data.view());
            }
            auto hit = BloomFilter::contains_hash(payload, BloomFilter::key_hash(i.key.user_key.view()));
            ASSERT_TRUE(hit.ok() && *hit) << label;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace tervik
