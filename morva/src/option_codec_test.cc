#include "morva/src/option_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <map>

#include "morva/src/testing/hex.h"
#include "platform/file.h"
#include "platform/log.h"
#include "tervik/core/testing/panic_capture.h"

namespace morva {
namespace {

using testing::hex;
using testing::unhex;
using tervik::CompressionType;
using tervik::FilterPolicyEntry;

template <class T>
std::string list(const std::vector<T>& v, const std::function<std::string(const T&)>& f) {
  std::string out = "[";
  for (size_t i = 0; i < v.size(); ++i) out += (i ? ", " : "") + f(v[i]);
  return out + "]";
}

// A short, comparable form of an error; Unrecoverable carries the message it logged.
std::string describe(const MorvaError& e, const zv::log::CaptureSink& sink) {
  auto eof = [](const zv::IoError& io) {
    return io.kind() == zv::IoErrorKind::kUnexpectedEof && io.message() == zv::kShortReadMessage;
  };
  switch (e.kind()) {
    case MorvaErrorKind::kIo:
      return eof(e.io_error()) ? "Io eof" : "Io other";
    case MorvaErrorKind::kStorage: {
      const tervik::TervikError& t = e.storage_error();
      if (t.kind() == tervik::TervikErrorKind::kIo) return eof(t.io_error()) ? "Storage Io eof" : "Storage Io other";
      if (t.kind() == tervik::TervikErrorKind::kInvalidTag)
        return "Storage InvalidTag " + t.tag_name() + " " + std::to_string(t.tag_byte());
      return "Storage other";
    }
    case MorvaErrorKind::kUnrecoverable: {
      std::string logged;
      for (const auto& ev : sink.events())
        if (ev.level == zv::log::Level::kError && ev.target == kOptionsLogTarget) logged = ev.message;
      return "Unrecoverable: " + logged;
    }
    default:
      return e.debug_string();
  }
}

std::string decode_as(const std::string& decoder, std::string_view bytes) {
  zv::log::CaptureSink sink(zv::log::Level::kError);
  auto out = [&](const auto& r, auto f) -> std::string {
    if (!r.ok()) return describe(r.error(), sink);
    using T = typename std::decay_t<decltype(r.value().entries())>::value_type;
    return list<T>(r.value().entries(), f);
  };
  auto num = [](auto v) { return std::to_string(v); };
  if (decoder == "block_size") return out(decode_block_size_policy(bytes), num);
  if (decoder == "restart") return out(decode_restart_interval_policy(bytes), [](uint8_t v) { return std::to_string(v); });
  if (decoder == "hash_ratio") return out(decode_hash_ratio_policy(bytes), [](float v) { return std::to_string(v); });
  if (decoder == "compression")
    return out(decode_compression_policy(bytes),
               [](CompressionType t) { return std::string(tervik::compression_type_name(t)); });
  if (decoder == "pinning") return out(decode_pinning_policy(bytes), [](bool b) { return std::string(b ? "true" : "false"); });
  if (decoder == "filter") return out(decode_filter_policy(bytes), [](const FilterPolicyEntry& e) { return e.debug_string(); });
  return "unknown decoder";
}

TEST(OptionCodec, DecodersAcceptEncodableValuesAndReportDamagedOnes) {
  struct Case {
    const char* decoder;
    const char* bytes;
    const char* want;
  };
  const Case cases[] = {
      {"restart", "02 0a 10", "[10, 16]"},
      {"restart", "02 01", "Io eof"},
      {"restart", "", "Io eof"},
      {"restart", "01 07 ff ff", "[7]"},  // trailing bytes ignored
      {"restart", "00", "Unrecoverable: compression policy may not be empty"},
      {"block_size", "01 00 10 00 00", "[4096]"},
      {"block_size", "02 00 10 00 00 ff ff ff", "Io eof"},
      {"block_size", "00 00 10 00 00", "Unrecoverable: compression policy may not be empty"},
      {"hash_ratio", "01 00 00 00 3f", "[0.500000]"},
      {"hash_ratio", "01 00 00", "Io eof"},
      {"compression", "03 00 00 01", "[None, None, Lz4]"},
      {"compression", "01 02", "Storage InvalidTag CompressionType 2"},
      {"compression", "03 00 01", "Storage Io eof"},
      {"compression", "02 07", "Storage InvalidTag CompressionType 7"},  // a bad tag before the end
      {"compression", "", "Io eof"},
      {"compression", "00 01", "Unrecoverable: compression policy may not be empty"},
      {"pinning", "02 01 07", "[true, false]"},
      {"pinning", "04 00 00 00 01 09", "[false, false, false, true]"},
      {"pinning", "03 01 01", "Unrecoverable: cannot fail"},
      {"pinning", "", "Unrecoverable: cannot fail"},
      {"pinning", "00", "Unrecoverable: compression policy may not be empty"},
      {"filter", "01 00", "[None]"},
      {"filter", "02 01 01 17 b7 d1 38 01 00 00 00 20 41", "[FalsePositiveRate(0.0001), BitsPerKey(10.0)]"},
      {"filter", "02 00", "Io eof"},
      {"filter", "01 01", "Io eof"},
      {"filter", "01 01 00 00 00 20", "Io eof"},
      {"filter", "01 02", "Unrecoverable: unknown filter policy tag: 2"},
      {"filter", "01 01 02 00 00 20 41", "Unrecoverable: unknown bloom filter policy type: 2"},
      {"filter", "00", "Unrecoverable: compression policy may not be empty"},
      {"filter", "", "Io eof"},
  };
  for (const Case& c : cases) EXPECT_EQ(decode_as(c.decoder, unhex(c.bytes)), c.want) << c.decoder << " " << c.bytes;
}

TEST(OptionCodec, EncodersWriteCountThenLittleEndianElements) {
  EXPECT_EQ(hex(encode_word_policy(tervik::BlockSizePolicy{4096, 0xDEADBEEF})), "02" "00100000" "efbeadde");
  EXPECT_EQ(hex(encode_word_policy(tervik::HashRatioPolicy{0.0f})), "0100000000");
  EXPECT_EQ(hex(encode_byte_policy(tervik::RestartIntervalPolicy{10, 16})), "020a10");
  EXPECT_EQ(hex(encode_byte_policy(tervik::CompressionPolicy{CompressionType::kLz4})), "0101");
  EXPECT_EQ(hex(encode_byte_policy(tervik::PinningPolicy{true, false, true})), "03010001");
  EXPECT_EQ(hex(encode_filter_policy(tervik::FilterPolicy{FilterPolicyEntry::none(),
                                                         FilterPolicyEntry::bits_per_key(10.0f)})),
            "02000100" "00002041");
  EXPECT_EQ(hex(encode_byte(7)), "07");
  EXPECT_EQ(hex(encode_u64(0x0102030405060708ull)), "0807060504030201");
  // An empty policy is a broken invariant of the caller, never stored.
  EXPECT_EQ(tervik::testing::panic_message([] { (void)encode_byte_policy(tervik::PinningPolicy{}); }),
            tervik::kFatalEmptyPolicy);
  std::vector<uint8_t> too_many(256, 1);
  EXPECT_NE(tervik::testing::panic_message(
                [&] { (void)encode_byte_policy(tervik::RestartIntervalPolicy(std::move(too_many))); }),
            "<no panic>");
}

TEST(OptionCodec, FloatsKeepTheirExactBits) {
  const uint32_t patterns[] = {0x7FC00001u /* NaN with payload */, 0x80000000u /* -0.0 */, 0x00000001u /* denormal */,
                               0x7F800000u /* inf */, 0x38D1B717u};
  for (uint32_t bits : patterns) {
    float f;
    std::memcpy(&f, &bits, 4);
    auto ratio = decode_hash_ratio_policy(encode_word_policy(tervik::HashRatioPolicy{f, f}));
    ASSERT_TRUE(ratio.ok());
    auto filter = decode_filter_policy(encode_filter_policy(tervik::FilterPolicy{FilterPolicyEntry::false_positive_rate(f)}));
    ASSERT_TRUE(filter.ok());
    for (float got : {ratio->entries()[1], filter->entries()[0].value}) {
      uint32_t got_bits;
      std::memcpy(&got_bits, &got, 4);
      EXPECT_EQ(got_bits, bits);
    }
  }
}

TEST(OptionCodec, ScalarsReadTheirFirstBytes) {
  EXPECT_EQ(*decode_u64(unhex("00 00 00 04 00 00 00 00 ff")), 64ull << 20);
  EXPECT_EQ(describe(decode_u64(unhex("00 00 00 04 00 00 00")).error(), zv::log::CaptureSink()), "Io eof");
  EXPECT_EQ(*decode_u32(unhex("01 00 00 00")), 1u);
  EXPECT_FALSE(decode_u8("").ok());
  EXPECT_EQ(describe(decode_compression_type("").error(), zv::log::CaptureSink()), "Storage Io eof");
  EXPECT_EQ(describe(decode_compression_type("\x05").error(), zv::log::CaptureSink()),
            "Storage InvalidTag CompressionType 5");
  EXPECT_TRUE(decode_flag("\x01"));
  for (const char* not_true : {"", "\x02", "\x01\x01"}) EXPECT_FALSE(decode_flag(not_true));
}

}  // namespace
}  // namespace morva
