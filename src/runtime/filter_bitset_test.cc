#include "src/runtime/filter_bitset.h"

#include <gtest/gtest.h>

#include "platform/coding.h"

namespace zv {
namespace {

constexpr uint64_t kAll = ~uint64_t{0};

FilterBitset bits_of(std::initializer_list<uint32_t> bits) {
  FilterBitset b;
  for (uint32_t bit : bits) b.set(bit);
  return b;
}

TEST(FilterBitsetTest, SetGrowsWordsLeastSignificantFirst) {
  EXPECT_EQ(bits_of({130}).words(), (std::vector<uint64_t>{0, 0, 4}));
  EXPECT_EQ(bits_of({0, 63, 64}).words(), (std::vector<uint64_t>{0x8000000000000001u, 1}));
  EXPECT_EQ(bits_of({6463}).words().size(), 101u);
  EXPECT_EQ(bits_of({6463}).words()[100], uint64_t{1} << 63);
  EXPECT_TRUE(FilterBitset::with_capacity(130).words().empty());
  EXPECT_GE(FilterBitset::with_capacity(130).words().capacity(), 3u);
  EXPECT_EQ(FilterBitset::all_ones().words(), std::vector<uint64_t>{kAll});
  EXPECT_TRUE(FilterBitset::unfiltered().is_unfiltered());
  EXPECT_EQ(&FilterBitset::unfiltered(), &FilterBitset::unfiltered());
}

TEST(FilterBitsetTest, FilterRule) {
  struct Case {
    const char* name;
    std::vector<uint64_t> node, filter;
    bool passes;
  } cases[] = {
      {"unfiltered passes an empty node", {}, {kAll}, true},
      {"unfiltered passes any node", {0, 5}, {kAll}, true},
      {"two all-ones words are a real filter", {}, {kAll, kAll}, false},
      {"two all-ones words on a full node", {kAll, kAll, 1}, {kAll, kAll}, true},
      {"one word not all ones is a real filter", {}, {kAll - 1}, false},
      {"empty filter", {}, {}, true},
      {"all-zero filter", {}, {0, 0, 0}, true},
      {"{3,70} passes {70}", {8, 64}, {0, 64}, true},
      {"{3} fails {3,64}", {8}, {8, 1}, false},
      {"{3} passes words 8,0", {8}, {8, 0}, true},
      {"missing bit in first word", {1}, {3}, false},
      {"extra node words", {0xF, 0xF0}, {0x5}, true},
      {"filter bit beyond node words", {kAll}, {0, 0, 2}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FilterBitset::matches(c.node, c.filter), c.passes) << c.name;
    EXPECT_EQ(FilterBitset::matches(FilterBitset(c.node), FilterBitset(c.filter)), c.passes) << c.name;
  }
}

TEST(FilterBitsetTest, EncodingRoundTripsAndReportsBytesUsed) {
  struct Case {
    std::vector<uint64_t> words;
  } cases[] = {{{}}, {{kAll}}, {{0, 0, 4}}, {{0x0123456789ABCDEFu, 0}}, {std::vector<uint64_t>(4096, 0x5A)}};
  for (const Case& c : cases) {
    std::string bytes = FilterBitset(c.words).encode();
    ASSERT_EQ(bytes.size(), 4 + 8 * c.words.size());
    EXPECT_EQ(coding::get_u32_le(bytes.data()), c.words.size());
    bytes += "trailing";  // a caller continues behind the bitset
    auto r = FilterBitset::decode({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
    ASSERT_TRUE(r.ok()) << r.error().message();
    EXPECT_EQ(r->bitset.words(), c.words);
    EXPECT_EQ(r->bytes_used, 4 + 8 * c.words.size());
  }
  // Golden bytes: count 2, then the words little-endian.
  std::string golden("\x02\x00\x00\x00" "\x01\x00\x00\x00\x00\x00\x00\x80" "\xEF\xCD\xAB\x89\x67\x45\x23\x01", 20);
  EXPECT_EQ(FilterBitset({0x8000000000000001u, 0x0123456789ABCDEFu}).encode(), golden);
}

TEST(FilterBitsetTest, DecodeErrors) {
  auto with_count = [](uint32_t count, size_t word_bytes) {
    std::string s;
    coding::put_u32_le(&s, count);
    s.append(word_bytes, '\x11');
    return s;
  };
  struct Case {
    const char* name;
    std::string bytes;
    IoErrorKind kind;
    const char* message;
  } cases[] = {
      {"three bytes", std::string(3, '\0'), IoErrorKind::kUnexpectedEof, "FilterBitset: truncated length"},
      {"nothing", "", IoErrorKind::kUnexpectedEof, "FilterBitset: truncated length"},
      {"count 4097", with_count(4097, 4097 * 8), IoErrorKind::kInvalidData, "FilterBitset: word_count exceeds maximum"},
      {"huge count", with_count(0xFFFFFFFF, 0), IoErrorKind::kInvalidData, "FilterBitset: word_count exceeds maximum"},
      {"count 2, 15 bytes", with_count(2, 15), IoErrorKind::kUnexpectedEof, "FilterBitset: truncated words"},
      {"count 4096, one byte short", with_count(4096, 32767), IoErrorKind::kUnexpectedEof,
       "FilterBitset: truncated words"},
  };
  for (const Case& c : cases) {
    auto r = FilterBitset::decode({reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()});
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_EQ(r.error().kind(), c.kind) << c.name;
    EXPECT_EQ(r.error().message(), c.message) << c.name;
  }
  std::string zero(4, '\0');
  auto empty = FilterBitset::decode({reinterpret_cast<const uint8_t*>(zero.data()), zero.size()});
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty->bitset.words().empty());
  EXPECT_EQ(empty->bytes_used, 4u);
  std::string full = with_count(4096, 32768);
  auto max = FilterBitset::decode({reinterpret_cast<const uint8_t*>(full.data()), full.size()});
  ASSERT_TRUE(max.ok());
  EXPECT_EQ(max->bitset.words().size(), 4096u);
}

}  // namespace
}  // namespace zv
