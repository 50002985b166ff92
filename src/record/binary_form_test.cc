#include "src/record/binary_form.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

namespace zv {
namespace {

using K = BinaryFormatErrorKind;

std::string bytes(std::initializer_list<int> b) {
  std::string s;
  for (int x : b) s.push_back(static_cast<char>(x));
  return s;
}
std::string repeat(int byte, size_t n) { return std::string(n, static_cast<char>(byte)); }

TEST(BinaryFormTest, WritesShortestVarintsAndZigzag) {
  const NodeId max128 = kMaxNodeId;
  struct Case {
    const char* name;
    std::function<void(BinaryWriter&)> write;
    std::string want;
  } cases[] = {
      {"0", [](BinaryWriter& w) { w.varint(0); }, bytes({0x00})},
      {"127", [](BinaryWriter& w) { w.varint(127); }, bytes({0x7F})},
      {"128", [](BinaryWriter& w) { w.varint(128); }, bytes({0x80, 0x01})},
      {"300", [](BinaryWriter& w) { w.varint(300); }, bytes({0xAC, 0x02})},
      {"16384", [](BinaryWriter& w) { w.varint(16384); }, bytes({0x80, 0x80, 0x01})},
      {"u32 max", [](BinaryWriter& w) { w.varint(4294967295u); },
       bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x0F})},
      {"u64 max", [](BinaryWriter& w) { w.varint(~uint64_t{0}); }, repeat(0xFF, 9) + bytes({0x01})},
      {"u128 max", [&](BinaryWriter& w) { w.varint_u128(max128); },
       repeat(0xFF, 18) + bytes({0x03})},
      {"zz 0", [](BinaryWriter& w) { w.zigzag(0); }, bytes({0x00})},
      {"zz -1", [](BinaryWriter& w) { w.zigzag(-1); }, bytes({0x01})},
      {"zz 1", [](BinaryWriter& w) { w.zigzag(1); }, bytes({0x02})},
      {"zz -2", [](BinaryWriter& w) { w.zigzag(-2); }, bytes({0x03})},
      {"zz 63", [](BinaryWriter& w) { w.zigzag(63); }, bytes({0x7E})},
      {"zz 64", [](BinaryWriter& w) { w.zigzag(64); }, bytes({0x80, 0x01})},
      {"zz -65", [](BinaryWriter& w) { w.zigzag(-65); }, bytes({0x81, 0x01})},
      {"zz min", [](BinaryWriter& w) { w.zigzag(std::numeric_limits<int64_t>::min()); },
       repeat(0xFF, 9) + bytes({0x01})},
      {"zz max", [](BinaryWriter& w) { w.zigzag(std::numeric_limits<int64_t>::max()); },
       bytes({0xFE}) + repeat(0xFF, 8) + bytes({0x01})},
      {"f32 1.0", [](BinaryWriter& w) { w.f32(1.0f); }, bytes({0x00, 0x00, 0x80, 0x3F})},
      {"f64 1.0", [](BinaryWriter& w) { w.f64(1.0); },
       bytes({0, 0, 0, 0, 0, 0, 0xF0, 0x3F})},
      {"str", [](BinaryWriter& w) { w.str("ab"); }, bytes({0x02, 'a', 'b'})},
      {"options", [](BinaryWriter& w) { w.option(false); w.option(true); w.boolean(true); },
       bytes({0x00, 0x01, 0x01})},
      {"datetime", [](BinaryWriter& w) { w.datetime(DateTime()); },
       bytes({20}) + "1970-01-01T00:00:00Z"},
  };
  for (const Case& c : cases) {
    std::string out;
    BinaryWriter w(&out);
    c.write(w);
    EXPECT_EQ(out, c.want) << c.name;
  }
}

TEST(BinaryFormTest, VarintLimitsByWidth) {
  struct Case {
    const char* name;
    int width;
    std::string in;
    std::optional<NodeId> want;
    K err;
  } cases[] = {
      {"u32 max", 32, bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x0F}), 4294967295u, K::kUnsupported},
      {"u32 5th byte too big", 32, bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x10}), std::nullopt, K::kBadVarint},
      {"u32 ends early", 32, bytes({0xFF, 0xFF, 0xFF, 0xFF}), std::nullopt, K::kUnexpectedEnd},
      {"u32 empty", 32, "", std::nullopt, K::kUnexpectedEnd},
      {"u64 max", 64, repeat(0xFF, 9) + bytes({0x01}), ~uint64_t{0}, K::kUnsupported},
      {"u64 10th byte 02", 64, repeat(0xFF, 9) + bytes({0x02}), std::nullopt, K::kBadVarint},
      {"u64 ten continuation bytes", 64, repeat(0xFF, 10), std::nullopt, K::kBadVarint},
      {"u128 max", 128, repeat(0xFF, 18) + bytes({0x03}), kMaxNodeId, K::kUnsupported},
      {"u128 19th byte 04", 128, repeat(0xFF, 18) + bytes({0x04}), std::nullopt, K::kBadVarint},
      {"u128 ends early", 128, repeat(0xFF, 18), std::nullopt, K::kUnexpectedEnd},
      {"overlong zero", 64, bytes({0x80, 0x00}), 0, K::kUnsupported},
  };
  for (const Case& c : cases) {
    BinaryReader r(c.in);
    std::optional<NodeId> got;
    K err = K::kUnsupported;
    auto take = [&](auto res) {
      if (res.ok()) got = res.value(); else err = res.error();
    };
    if (c.width == 32) take(r.varint_u32());
    else if (c.width == 64) take(r.varint_u64());
    else take(r.varint_u128());
    EXPECT_EQ(got, c.want) << c.name;
    EXPECT_EQ(err, c.err) << c.name;
  }
}

TEST(BinaryFormTest, ReaderRefusesMalformedScalars) {
  struct Case {
    const char* name;
    std::string in;
    std::function<K(BinaryReader&)> read;
    K want;
  } cases[] = {
      {"bool 02", bytes({0x02}), [](BinaryReader& r) { return r.boolean().error(); }, K::kBadBool},
      {"option 02", bytes({0x02}), [](BinaryReader& r) { return r.option().error(); }, K::kBadOption},
      {"bool at end", "", [](BinaryReader& r) { return r.boolean().error(); }, K::kUnexpectedEnd},
      {"string short", bytes({0x05, 'a', 'b', 'c'}), [](BinaryReader& r) { return r.str().error(); },
       K::kUnexpectedEnd},
      {"string not utf8", bytes({0x02, 0xC3, 0x28}), [](BinaryReader& r) { return r.str().error(); },
       K::kBadUtf8},
      {"f32 short", bytes({0x00, 0x00, 0x80}), [](BinaryReader& r) { return r.f32().error(); },
       K::kUnexpectedEnd},
      {"f64 short", repeat(0, 7), [](BinaryReader& r) { return r.f64().error(); }, K::kUnexpectedEnd},
      {"huge length", bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 'x'}),
       [](BinaryReader& r) { return r.bytes().error(); }, K::kUnexpectedEnd},
      {"datetime text", bytes({0x03}) + "abc", [](BinaryReader& r) { return r.datetime().error(); },
       K::kDecodeCustom},
  };
  for (const Case& c : cases) {
    BinaryReader r(c.in);
    EXPECT_EQ(c.read(r), c.want) << c.name;
  }
}

TEST(BinaryFormTest, ReservationIsBoundedByRemainingInput) {
  const std::string in = bytes({1, 2, 3, 4});
  BinaryReader r(in);
  EXPECT_EQ(r.reserve_hint(uint64_t{1} << 40, kCapU64), 0u);
  EXPECT_EQ(r.reserve_hint(3, kCapU64), 3u);
  EXPECT_EQ(r.reserve_hint(4, 2), 2u);
}

TEST(BinaryFormTest, ScalarsRoundTrip) {
  std::string out;
  BinaryWriter w(&out);
  const DateTime t = *DateTime::from_civil(10000, 1, 2, 3, 4, 5, 600);
  w.zigzag(-123456789);
  w.f32(-0.0f);
  w.f64(std::numeric_limits<double>::denorm_min());
  w.str("h\xC3\xA9");
  w.datetime(t);
  w.varint_u128(NodeId{1} << 100);
  BinaryReader r(out);
  EXPECT_EQ(r.zigzag().value(), -123456789);
  EXPECT_TRUE(std::signbit(r.f32().value()));
  EXPECT_EQ(r.f64().value(), std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(r.str().value(), "h\xC3\xA9");
  EXPECT_EQ(r.datetime().value(), t);
  EXPECT_TRUE(r.varint_u128().value() == (NodeId{1} << 100));
  EXPECT_EQ(r.remaining(), 0u);
}

}  // namespace
}  // namespace zv
