#include "tervik/table/filter_writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "platform/fs.h"
#include "platform/testing/temp_dir.h"
#include "tervik/block/bloom_filter.h"
#include "tervik/table/testing/table_files.h"

namespace tervik {
namespace {

UserKey key(size_t i) {
  char buf[24];
  std::snprintf(buf, sizeof(buf), "k%08zu", i);
  return UserKey(std::string_view(buf));
}

TEST(FilterWriterTest, PartitionSizeEstimate) {
  struct Case {
    FilterPolicyEntry policy;
    uint64_t n;
    uint64_t bytes;
  };
  const Case cases[] = {
      {FilterPolicyEntry::bits_per_key(10.0f), 3276, 4095},
      {FilterPolicyEntry::bits_per_key(10.0f), 3277, 4096},
      {FilterPolicyEntry::false_positive_rate(0.0001f), 1, 3},  // 24 bits
      // m = 9592 bits, q = 9 per key: 9000 bits.
      {FilterPolicyEntry::false_positive_rate(0.01f), 1000, 1125},
      {FilterPolicyEntry::bits_per_key(-1.0f), 10, 0},
      {FilterPolicyEntry::false_positive_rate(2.0f), 10, 0},
      {FilterPolicyEntry::none(), 10, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PartitionedFilterWriter::estimate_bytes(c.policy, c.n), c.bytes)
        << c.policy.debug_string() << " n=" << c.n;
  }
}

struct Written {
  uint64_t count = 0;
  zv::archive::Toc toc;
};

Written write_filter(const std::string& path, FilterWriter& w, size_t keys) {
  auto out = TableOutput::create(path);
  EXPECT_TRUE(out.ok());
  EXPECT_TRUE((*out)->start_section("data").ok());
  EXPECT_TRUE((*out)->writer().write_all("0123456789").ok());
  for (size_t i = 0; i < keys; ++i) EXPECT_TRUE(w.register_key(key(i)).ok());
  auto count = w.finish(**out);
  EXPECT_TRUE(count.ok());
  EXPECT_TRUE((*out)->finish_archive().ok());
  return Written{count.ok() ? *count : 99, testing::sections_of(path)};
}

TEST(FilterWriterTest, NoKeyOrNoFilterPolicyWritesNoSection) {
  const FilterPolicyEntry policies[] = {FilterPolicyEntry::bits_per_key(10.0f),
                                        FilterPolicyEntry::bits_per_key(0.5f),
                                        FilterPolicyEntry::false_positive_rate(1.0f)};
  for (const auto& policy : policies) {
    const bool filtering = policy == FilterPolicyEntry::bits_per_key(10.0f);
    for (size_t keys : {size_t{0}, size_t{5000}}) {
      if (filtering && keys > 0) continue;
      for (bool partitioned : {false, true}) {
        zv::testing::TempDir dir;
        std::unique_ptr<FilterWriter> w;
        if (partitioned) {
          w = std::make_unique<PartitionedFilterWriter>(policy, CompressionType::kNone);
        } else {
          w = std::make_unique<FullFilterWriter>(policy);
        }
        const auto r = write_filter(zv::fs::join(dir.path(), "1"), *w, keys);
        const std::string label = policy.debug_string() + " keys=" + std::to_string(keys) +
                                  (partitioned ? " partitioned" : " full");
        EXPECT_EQ(r.count, 0u) << label;
        EXPECT_EQ(r.toc.section(kSectionFilter), nullptr) << label;
        EXPECT_EQ(r.toc.section(kSectionFilterTli), nullptr) << label;
      }
    }
  }
}

TEST(FilterWriterTest, PartitionsHoldTheirKeys) {
  // 10 bits per key fill a 4096-byte partition at 3,277 keys.
  struct Case {
    size_t keys;
    uint64_t partitions;
  };
  const Case cases[] = {{1, 1}, {3277, 1}, {3278, 2}, {6554, 2}, {7000, 3}};
  for (const auto& c : cases) {
    zv::testing::TempDir dir;
    const std::string path = zv::fs::join(dir.path(), "1");
    PartitionedFilterWriter w(FilterPolicyEntry::bits_per_key(10.0f), CompressionType::kLz4);
    const auto r = write_filter(path, w, c.keys);
    EXPECT_EQ(r.count, c.partitions) << c.keys;
    const auto* filter = r.toc.section(kSectionFilter);
    const auto* tli = r.toc.section(kSectionFilterTli);
    ASSERT_TRUE(filter && tli) << c.keys;
    const auto top = testing::index_entries(
        testing::read_block(path, testing::section_handle(*tli), CompressionType::kLz4));
    ASSERT_EQ(top.size(), c.partitions) << c.keys;
    EXPECT_EQ(top[0].handle.offset, filter->pos);
    EXPECT_EQ(top.back().end_key, key(c.keys - 1));
    // Every key is found in the first partition whose end key is not below it.
    size_t p = 0;
    std::vector<std::string> payloads;
    for (const auto& e : top) {
      EXPECT_EQ(e.seqno, 0u);
      payloads.emplace_back(testing::read_block(path, e.handle, CompressionType::kNone).data.view());
    }
    for (size_t i = 0; i < c.keys; ++i) {
      while (top[p].end_key < key(i)) ++p;
      auto hit = BloomFilter::contains_hash(payloads[p], BloomFilter::key_hash(key(i).view()));
      ASSERT_TRUE(hit.ok());
      EXPECT_TRUE(*hit) << c.keys << " key " << i;
    }
  }
}

TEST(FilterWriterTest, FullFilterHoldsEveryKey) {
  zv::testing::TempDir dir;
  const std::string path = zv::fs::join(dir.path(), "1");
  FullFilterWriter w(FilterPolicyEntry::false_positive_rate(0.01f));
  const auto r = write_filter(path, w, 1000);
  EXPECT_EQ(r.count, 1u);
  ASSERT_NE(r.toc.section(kSectionFilter), nullptr);
  EXPECT_EQ(r.toc.section(kSectionFilterTli), nullptr);
  const Block block = testing::read_block(path, testing::section_handle(*r.toc.section(kSectionFilter)),
                                          CompressionType::kNone);
  EXPECT_EQ(block.header.block_type, BlockType::kFilter);
  auto reader = BloomFilterReader::parse(block.data.view());
  ASSERT_TRUE(reader.ok());
  size_t absent_hits = 0;
  for (size_t i = 0; i < 1000; ++i) EXPECT_TRUE(reader->contains_hash(BloomFilter::key_hash(key(i).view())));
  for (size_t i = 1000; i < 11000; ++i) absent_hits += reader->contains_hash(BloomFilter::key_hash(key(i).view()));
  EXPECT_LT(absent_hits, 300u);  // about 1% expected
}

}  // namespace
}  // namespace tervik
