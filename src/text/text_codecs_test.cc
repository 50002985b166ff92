#include "src/text/text_codecs.h"

#include <gtest/gtest.h>

#include "src/text/index_codec_error.h"

namespace zv::text {
namespace {

using namespace std::string_literals;

TEST(TextCodecs, GoldenBytes) {
  EXPECT_EQ(encode_text_posting(1, 2, {0, 300}), "\x01\x02\x02\x00\xAC\x02"s);
  EXPECT_EQ(encode_doc_stats(300, 3), "\xAC\x02\x03"s);
  EXPECT_EQ(encode_term_stats(5), "\x05"s);
  EXPECT_EQ(encode_namespace_stats(2, 7), "\x02\x07"s);
}

TEST(TextCodecs, RoundTripsAtTheLimits) {
  const NodeId big = ~NodeId{0};
  TextPosting p{big, 0xFFFFFFFFu, {0, 1, 0xFFFFFFFFu}};
  auto dp = decode_text_posting(encode_text_posting(p.node_id, p.term_frequency, p.positions));
  ASSERT_TRUE(dp.ok());
  EXPECT_EQ(*dp, p);
  auto head = decode_text_posting(encode_text_posting(p.node_id, p.term_frequency, p.positions), false);
  ASSERT_TRUE(head.ok());
  EXPECT_EQ(*head, (TextPosting{big, 0xFFFFFFFFu, {}}));
  auto dd = decode_doc_stats(encode_doc_stats(big, 0xFFFFFFFFu));
  ASSERT_TRUE(dd.ok());
  EXPECT_EQ(*dd, (TextDocStats{big, 0xFFFFFFFFu}));
  auto dt = decode_term_stats(encode_term_stats(~uint64_t{0}));
  ASSERT_TRUE(dt.ok());
  EXPECT_EQ(dt->df, ~uint64_t{0});
  auto dn = decode_namespace_stats(encode_namespace_stats(~uint64_t{0}, 1));
  ASSERT_TRUE(dn.ok());
  EXPECT_EQ(*dn, (TextNamespaceStats{~uint64_t{0}, 1}));
  // Bytes after the last field are ignored.
  auto extra = decode_term_stats("\x07garbage"s);
  ASSERT_TRUE(extra.ok());
  EXPECT_EQ(extra->df, 7u);
}

TEST(TextCodecs, DecodeErrorsCarryTheirLabelAndText) {
  const std::string kEnd = "Hit the end of buffer, expected more data";
  const std::string kVarint =
      "Found a varint that didn't terminate. Is the usize too big for this platform?";
  struct Case {
    std::string name;
    ZolvaError error;
    std::string inner;
  };
  auto err = [](auto r) { return r.error(); };
  const Case cases[] = {
      {"posting cut after count", err(decode_text_posting("\x01\x02\x02"s)),
       "text posting decode error: " + kEnd},
      {"posting empty", err(decode_text_posting("")), "text posting decode error: " + kEnd},
      // A u32 whose fifth byte exceeds 0x0F.
      {"tf too wide", err(decode_text_posting("\x01\xFF\xFF\xFF\xFF\x10\x00"s)),
       "text posting decode error: " + kVarint},
      // Positions left out of the result are still read in full.
      {"positions dropped, cut after count", err(decode_text_posting("\x01\x02\x02\x00"s, false)),
       "text posting decode error: " + kEnd},
      {"positions dropped, position too wide",
       err(decode_text_posting("\x01\x01\x02\x00\xFF\xFF\xFF\xFF\x10"s, false)),
       "text posting decode error: " + kVarint},
      {"u128 too long", err(decode_doc_stats(std::string(19, '\xFF') + "\x00"s)),
       "text doc stats decode error: " + kVarint},
      {"doc stats cut", err(decode_doc_stats("\xAC\x02"s)), "text doc stats decode error: " + kEnd},
      {"term stats empty", err(decode_term_stats("")), "text term stats decode error: " + kEnd},
      {"u64 too long", err(decode_term_stats(std::string(10, '\xFF') + "\x01"s)),
       "text term stats decode error: " + kVarint},
      {"ns stats cut", err(decode_namespace_stats("\x02"s)),
       "text namespace stats decode error: " + kEnd},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.kind(), ZolvaErrorKind::kSerialization) << c.name;
    EXPECT_EQ(c.error.message(), "Serialization error: " + c.inner) << c.name;
  }
}

TEST(TextCodecs, HugePositionCountReservesNothing) {
  // A count of 2^64 - 1 with two positions present: trusting it would throw
  // from the reservation; it fails at the end of input instead.
  auto r = decode_text_posting("\x01\x02"s + std::string(9, '\xFF') + "\x01\x00\x01"s);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(),
            "Serialization error: text posting decode error: Hit the end of buffer, expected more "
            "data");
}

}  // namespace
}  // namespace zv::text
