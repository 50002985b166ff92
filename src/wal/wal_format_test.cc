#include "src/wal/wal_format.h"

#include <gtest/gtest.h>

#include "platform/checksum.h"
#include "platform/clock.h"
#include "platform/coding.h"

namespace zv::wal {
namespace {

// A header laid out by hand from the table: magic, version, serializer
// version, time, CRC-32C of the first 16 bytes.
std::string header_bytes(std::string_view magic, uint16_t version, uint16_t serializer,
                         bool fix_crc = true) {
  std::string b(magic);
  coding::put_u16_le(&b, version);
  coding::put_u16_le(&b, serializer);
  coding::put_u64_le(&b, 1'700'000'000'000ull);
  coding::put_u32_le(&b, fix_crc ? crc32c(b.data(), 16) : 0x1234u);
  return b;
}

TEST(WalHeader, FreshHeaderIsTwentyBytesWithItsCrc) {
  const uint64_t before = now_ms();
  const std::string b = WalHeader::make(3).encode();
  ASSERT_EQ(b.size(), 20u);
  EXPECT_EQ(b.substr(0, 4), "ZWAL");
  EXPECT_EQ(coding::get_u16_le(b.data() + 4), 3);
  EXPECT_EQ(coding::get_u16_le(b.data() + 6), 1);
  EXPECT_GE(coding::get_u64_le(b.data() + 8), before);
  EXPECT_LE(coding::get_u64_le(b.data() + 8), now_ms());
  EXPECT_EQ(coding::get_u32_le(b.data() + 16), crc32c(b.data(), 16));
  ASSERT_TRUE(WalHeader::validate(b).ok());
}

TEST(WalHeader, ChecksRunInOrderWithExactMessages) {
  struct Case {
    const char* name;
    std::string bytes;
    ZolvaErrorKind kind;
    std::string message;
  };
  std::string flipped = header_bytes("ZWAL", 3, 1);
  flipped[9] ^= 0x01;  // inside the time field: magic and version still fine
  const uint32_t stored = coding::get_u32_le(flipped.data() + 16);
  char crc_msg[128];
  std::snprintf(crc_msg, sizeof(crc_msg),
                "WAL error: WAL header CRC mismatch: stored=0x%x, computed=0x%x", stored,
                crc32c(flipped.data(), 16));
  const Case cases[] = {
      {"short", header_bytes("ZWAL", 3, 1).substr(0, 19), ZolvaErrorKind::kWal,
       "WAL error: Invalid WAL header size: expected 20, got 19"},
      // A bad magic wins over a bad version and a bad CRC.
      {"magic", header_bytes("ZWAX", 9, 1, false), ZolvaErrorKind::kIncompatibleFormat,
       "Incompatible binary format: expected magic [90, 87, 65, 76], version 3, found magic "
       "[90, 87, 65, 88], version 9. Hint: WAL format: expected magic [90, 87, 65, 76], found "
       "[90, 87, 65, 88]"},
      {"newer", header_bytes("ZWAL", 4, 1, false), ZolvaErrorKind::kIncompatibleFormat,
       "Incompatible binary format: expected magic [90, 87, 65, 76], version 3, found magic "
       "[90, 87, 65, 76], version 4. Hint: WAL format: file version 4 is newer than this "
       "software (max 3)"},
      {"zero", header_bytes("ZWAL", 0, 1, false), ZolvaErrorKind::kWalVersionMismatch,
       "WAL version mismatch: expected 3, found 0. Hint: Delete WAL dir or run dump/restore "
       "before upgrading."},
      {"crc", flipped, ZolvaErrorKind::kWal, crc_msg},
  };
  for (const Case& c : cases) {
    auto r = WalHeader::validate(c.bytes);
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_EQ(r.error().kind(), c.kind) << c.name;
    EXPECT_EQ(r.error().message(), c.message) << c.name;
  }
}

TEST(WalHeader, AcceptsOlderVersionsAndNewerSerializer) {
  for (uint16_t version : {1, 2, 3}) {
    auto r = WalHeader::validate(header_bytes("ZWAL", version, 7));
    ASSERT_TRUE(r.ok()) << version;
    EXPECT_EQ(r->format_version, version);
    EXPECT_EQ(r->serializer_version, 7);
  }
}

TEST(WalFrame, LayoutAndChainFollowTheTable) {
  const std::string payload = "\x02\x01";
  ChainValue chain{};
  Sha256Hasher hasher;
  std::string v3;
  append_frame(&v3, payload, 3, &chain, &hasher);
  std::string body;
  coding::put_u32_le(&body, 2);
  body += payload;
  coding::put_u32_le(&body, crc32c(payload));
  ASSERT_EQ(v3.size(), 2u + 72u);
  EXPECT_EQ(v3.substr(0, 10), body);
  EXPECT_EQ(v3.substr(10, 32), std::string(32, '\0'));  // first prev_hash
  std::string hashed(32, '\0');
  hashed += body;
  const Sha256Digest want = sha256(hashed.data(), hashed.size());
  EXPECT_EQ(v3.substr(42, 32), std::string(reinterpret_cast<const char*>(want.data()), 32));
  EXPECT_EQ(chain, want);
  // The next frame links to the previous hash.
  std::string second;
  append_frame(&second, payload, 3, &chain, &hasher);
  EXPECT_EQ(second.substr(10, 32), std::string(reinterpret_cast<const char*>(want.data()), 32));

  std::string v2;
  ChainValue untouched{};
  append_frame(&v2, payload, 2, &untouched, &hasher);
  EXPECT_EQ(v2, body);
  EXPECT_EQ(untouched, ChainValue{});
}

}  // namespace
}  // namespace zv::wal
