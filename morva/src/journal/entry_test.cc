#include "morva/src/journal/entry.h"

#include <gtest/gtest.h>

#include "morva/src/testing/hex.h"

#include <random>

#include "tervik/block/block.h"

namespace morva {
namespace {

using tervik::CompressionType;
using tervik::ValueType;

using testing::hex;

std::string item_bytes(uint64_t ks, std::string_view key, std::string_view value, ValueType vt,
                       bool compress) {
  std::string out, scratch;
  EXPECT_TRUE(encode_journal_item(&out, ks, key, value, vt, compress, &scratch).ok());
  return out;
}

MorvaResult<JournalEntry> decode(std::string_view bytes, zv::Xxh3Hasher64* hasher = nullptr) {
  MemoryJournalSource src(bytes);
  return decode_journal_entry(src, hasher);
}

TEST(JournalEntryTest, GoldenBytes) {
  std::string start;
  encode_journal_start(&start, 1, 0x0102030405060708ull);
  EXPECT_EQ(hex(start), "01" "01000000" "0807060504030201");

  EXPECT_EQ(hex(item_bytes(5, "ab", "xyz", ValueType::kTombstone, false)),
            "02" "01" "00" "0500000000000000" "0200" "03000000" "03000000" "6162" "78797a");

  std::string end;
  encode_journal_end(&end, 0x1122334455667788ull);
  EXPECT_EQ(hex(end), "03" "8877665544332211" "4d525603");

  std::string clear;
  encode_journal_clear(&clear, 0x0A);
  EXPECT_EQ(hex(clear), "04" "0a00000000000000");

  const std::string value(300, 'q');
  std::string block;
  ASSERT_TRUE(tervik::lz4_compress(value, &block).ok());
  const std::string compressed = item_bytes(1, "k", value, ValueType::kValue, true);
  std::string expected_header = "02" "00" "01" "0100000000000000" "0100" "2c010000";
  char stored_len[9];
  std::snprintf(stored_len, sizeof(stored_len), "%02x000000", static_cast<unsigned>(block.size()));
  EXPECT_EQ(hex(compressed), expected_header + stored_len + "6b" + hex(block));
}

TEST(JournalEntryTest, CompressionRule) {
  struct Case {
    CompressionType setting;
    uint64_t threshold;
    size_t length;
    bool compressed;
  };
  const Case cases[] = {
      {CompressionType::kLz4, 4096, 4095, false}, {CompressionType::kLz4, 4096, 4096, true},
      {CompressionType::kLz4, 16, 16, true},      {CompressionType::kLz4, 0, 100000, false},
      {CompressionType::kNone, 16, 100000, false}, {CompressionType::kLz4, 1, 0, false},
  };
  std::mt19937_64 rng(7);
  for (const Case& c : cases) {
    // Random bytes: the block is not smaller, and is stored all the same.
    std::string value(c.length, '\0');
    for (char& ch : value) ch = static_cast<char>(rng());
    const bool flag = journal_compresses(c.setting, c.threshold, value.size());
    EXPECT_EQ(flag, c.compressed) << c.threshold << " " << c.length;
    const std::string bytes = item_bytes(9, "key", value, ValueType::kValue, flag);
    EXPECT_EQ(static_cast<uint8_t>(bytes[2]), c.compressed ? 1 : 0);
    const uint32_t value_len = static_cast<uint8_t>(bytes[13]) | static_cast<uint8_t>(bytes[14]) << 8 |
                               static_cast<uint8_t>(bytes[15]) << 16;
    const uint32_t stored_len = static_cast<uint8_t>(bytes[17]) | static_cast<uint8_t>(bytes[18]) << 8 |
                                static_cast<uint8_t>(bytes[19]) << 16;
    EXPECT_EQ(value_len, c.length);
    if (!c.compressed) {
      EXPECT_EQ(stored_len, c.length);
    } else {
      EXPECT_GE(stored_len, c.length);
    }
    auto back = decode(bytes);
    ASSERT_TRUE(back.ok()) << back.error().debug_string();
    const auto& item = std::get<JournalItem>(*back);
    EXPECT_EQ(item.value, value);
    EXPECT_EQ(item.compression, c.compressed ? CompressionType::kLz4 : CompressionType::kNone);
  }
}

TEST(JournalEntryTest, RoundTripAndHashOfTheBytesAsRead) {
  std::string bytes;
  encode_journal_start(&bytes, 3, 77);
  const std::string it1 = item_bytes(1, std::string(600, '\xff'), std::string(5000, 'z'),
                                     ValueType::kValue, true);
  const std::string it2 = item_bytes(2, "w", "", ValueType::kWeakTombstone, false);
  std::string clr;
  encode_journal_clear(&clr, 3);
  bytes += it1 + it2 + clr;
  encode_journal_end(&bytes, 5);
  MemoryJournalSource src(bytes);
  zv::Xxh3Hasher64 hasher;
  std::vector<JournalEntry> entries;
  while (src.remaining() > 0) {
    auto e = decode_journal_entry(src, &hasher);
    ASSERT_TRUE(e.ok()) << e.error().debug_string();
    entries.push_back(std::move(e).value());
  }
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(std::get<JournalStart>(entries[0]).item_count, 3u);
  EXPECT_EQ(std::get<JournalStart>(entries[0]).seqno, 77u);
  EXPECT_EQ(std::get<JournalItem>(entries[1]).key, std::string(600, '\xff'));
  EXPECT_EQ(std::get<JournalItem>(entries[1]).value, std::string(5000, 'z'));
  EXPECT_EQ(std::get<JournalItem>(entries[2]).value_type, ValueType::kWeakTombstone);
  EXPECT_EQ(std::get<JournalClear>(entries[3]).keyspace_id, 3u);
  EXPECT_EQ(std::get<JournalEnd>(entries[4]).checksum, 5u);
  // Only Items and Clears are hashed, exactly as stored.
  const std::string covered = it1 + it2 + clr;
  EXPECT_EQ(hasher.digest(), zv::xxh3_64(covered.data(), covered.size()));
}

std::string item_with(uint8_t value_type, uint8_t compression) {
  std::string b = item_bytes(1, "k", "v", ValueType::kValue, false);
  b[1] = static_cast<char>(value_type);
  b[2] = static_cast<char>(compression);
  return b;
}

std::string end_with_trailer(std::string_view trailer) {
  std::string b;
  encode_journal_end(&b, 1);
  b.replace(9, 4, trailer);
  return b;
}

// A compressed item whose header claims `claimed` uncompressed bytes.
std::string compressed_claiming(uint32_t claimed) {
  std::string b = item_bytes(1, "k", std::string(100, 'a'), ValueType::kValue, true);
  for (int i = 0; i < 4; ++i) b[13 + i] = static_cast<char>(claimed >> (8 * i));
  return b;
}

TEST(JournalEntryTest, DecoderFailures) {
  struct Case {
    std::string name;
    std::string bytes;
    std::string debug;
  };
  const std::string eof = "Io(Custom { kind: UnexpectedEof, error: \"failed to fill whole buffer\" })";
  std::string huge_stored = item_bytes(1, "k", "v", ValueType::kValue, false);
  for (int i = 0; i < 4; ++i) huge_stored[17 + i] = '\xff';
  std::string huge_value = compressed_claiming(0xFFFFFFFFu);
  const Case cases[] = {
      {"tag 0", std::string(1, '\0'), "InvalidTag((\"JournalMarkerTag\", 0))"},
      {"tag 7", std::string(1, '\x07'), "InvalidTag((\"JournalMarkerTag\", 7))"},
      {"value type 3", item_with(3, 0), "Storage(InvalidTag((\"ValueType\", 3)))"},
      {"value type 5", item_with(5, 0), "Storage(InvalidTag((\"ValueType\", 5)))"},
      {"compression 2", item_with(0, 2), "Storage(InvalidTag((\"CompressionType\", 2)))"},
      {"trailer MRV 2", end_with_trailer("MRV\x02"), "InvalidTrailer"},
      {"trailer MRX 3", end_with_trailer("MRX\x03"), "InvalidTrailer"},
      {"decompresses short", compressed_claiming(101), "Decompress(Lz4)"},
      {"decompresses long", compressed_claiming(99), "Decompress(Lz4)"},
      {"stored length beyond the end", huge_stored, eof},
      {"value length no block can reach", huge_value, "Decompress(Lz4)"},
  };
  for (const Case& c : cases) {
    auto r = decode(c.bytes);
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_EQ(r.error().debug_string(), c.debug) << c.name;
  }
  EXPECT_TRUE(decode(item_with(4, 0)).ok());
}

TEST(JournalEntryTest, EndOfFileInsideEveryKindOfEntry) {
  std::string start, end, clear;
  encode_journal_start(&start, 2, 9);
  encode_journal_end(&end, 3);
  encode_journal_clear(&clear, 4);
  const std::string entries[] = {start, end, clear,
                                 item_bytes(1, "key", "value", ValueType::kValue, false),
                                 item_bytes(1, "key", std::string(64, 'c'), ValueType::kValue, true)};
  for (const std::string& e : entries) {
    for (size_t cut = 0; cut < e.size(); ++cut) {
      auto r = decode(std::string_view(e).substr(0, cut));
      ASSERT_FALSE(r.ok()) << hex(e) << " cut at " << cut;
      EXPECT_TRUE(r.error().is_io(zv::IoErrorKind::kUnexpectedEof)) << r.error().debug_string();
    }
    EXPECT_TRUE(decode(e).ok());
  }
}

TEST(JournalEntryTest, LengthsTheFormatCannotHoldAreRefused) {
  EXPECT_TRUE(check_journal_item(65535, 0, false).ok());
  auto key = check_journal_item(65536, 0, false);
  ASSERT_FALSE(key.ok());
  EXPECT_TRUE(key.error().is_io(zv::IoErrorKind::kInvalidInput));
  EXPECT_TRUE(check_journal_item(0, 0xFFFFFFFFull, false).ok());
  EXPECT_FALSE(check_journal_item(0, 0x100000000ull, false).ok());
  EXPECT_FALSE(check_journal_item(0, 0xFFFFFFFFull, true).ok());
  EXPECT_TRUE(check_journal_batch_size(0xFFFFFFFFull).ok());
  EXPECT_FALSE(check_journal_batch_size(0x100000000ull).ok());
}

}  // namespace
}  // namespace morva
