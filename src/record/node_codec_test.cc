#include "src/record/node_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

namespace zv {
namespace {

using K = BinaryFormatErrorKind;
using FV = FieldValue;

std::string byte_list(std::initializer_list<int> xs) {
  std::string s;
  for (int x : xs) s.push_back(static_cast<char>(x));
  return s;
}

template <class Fn>
std::string encoded(Fn&& fn) {
  std::string out;
  BinaryWriter w(&out);
  fn(w);
  return out;
}

DateTime codec_noon() { return *DateTime::from_civil(2024, 5, 1, 12, 0, 0, 0); }

TEST(NodeCodecTest, FieldValueGoldenBytes) {
  struct Case {
    FV v;
    std::string want;
  } cases[] = {
      {FV::string("ab"), byte_list({0x00, 0x02, 'a', 'b'})},
      {FV::integer(-3), byte_list({0x01, 0x05})},
      {FV::floating(1.0), byte_list({0x02, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F})},
      {FV::boolean(true), byte_list({0x03, 0x01})},
      {FV::date_time(codec_noon()), byte_list({0x04, 20}) + "2024-05-01T12:00:00Z"},
      {FV::list_string({"a", ""}), byte_list({0x05, 0x02, 0x01, 'a', 0x00})},
      {FV::list_int({1, 2}), byte_list({0x06, 0x02, 0x02, 0x04})},
      {FV::list_float({-2.0}), byte_list({0x07, 0x01, 0, 0, 0, 0, 0, 0, 0, 0xC0})},
      {FV::list_bool({true, false}), byte_list({0x08, 0x02, 0x01, 0x00})},
      {FV::list_date_time({DateTime()}), byte_list({0x09, 0x01, 20}) + "1970-01-01T00:00:00Z"},
      {FV::null(), byte_list({0x0A})},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(encoded([&](BinaryWriter& w) { encode_field_value(w, c.v); }), c.want)
        << c.v.debug_string();
    BinaryReader r(c.want);
    auto back = decode_field_value(r);
    ASSERT_TRUE(back.ok()) << c.v.debug_string();
    EXPECT_EQ(back.value(), c.v);
  }
}

TEST(NodeCodecTest, EdgeVectorAndMetadataGoldenBytes) {
  EXPECT_EQ(encoded([](BinaryWriter& w) { encode_edges(w, {NodeEdge{2, 0, 1.0f, false, 5}}); }),
            byte_list({0x01, 0x02, 0x00, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x05}));

  auto floats = std::make_shared<std::vector<float>>(std::vector<float>{1.0f, 2.0f});
  const MappedVector region(floats, reinterpret_cast<const unsigned char*>(floats->data()), 8);
  struct Case {
    const char* name;
    VectorRepr v;
    std::string want;
  } cases[] = {
      {"binary", VectorRepr::binary({1, 300}), byte_list({0x00, 0x02, 0x01, 0xAC, 0x02})},
      {"turbo", VectorRepr::turbo({0xF7}), byte_list({0x01, 0x01, 0xF7})},
      {"sq8", VectorRepr::sq8(2.0f, {127, -1}), byte_list({0x02, 0x02, 0x7F, 0xFF, 0, 0, 0, 0x40})},
      {"f32", VectorRepr::f32({1.0f}), byte_list({0x03, 0x01, 0, 0, 0x80, 0x3F})},
      // A mapped vector keeps its values in the log.
      {"mapped", VectorRepr::mmap_full(region), byte_list({0x03, 0x02, 0, 0, 0x80, 0x3F, 0, 0, 0, 0x40})},
      {"mapped without view", VectorRepr::mmap_full(std::nullopt), byte_list({0x05})},
      {"none", VectorRepr::none(), byte_list({0x05})},
  };
  for (const Case& c : cases)
    EXPECT_EQ(encoded([&](BinaryWriter& w) { encode_vector(w, c.v); }), c.want) << c.name;

  // The bare mapped index of older writers reads as a mapped vector with no view.
  const std::string legacy = byte_list({0x04});
  BinaryReader r(legacy);
  auto v = decode_vector(r);
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(v.value().kind(), VectorKind::kMmapFull);
  EXPECT_FALSE(v.value().as_f32_slice().has_value());

  EXPECT_EQ(encode_node_metadata(NodeMetadata{{}, {}, 1, std::nullopt}), byte_list({0x00, 0x00, 0x01, 0x00}));
  EXPECT_EQ(encode_node_metadata(NodeMetadata{{}, {}, 1, 300}),
            byte_list({0x00, 0x00, 0x01, 0x01, 0xAC, 0x02}));
}

TEST(NodeCodecTest, NewNodeGoldenBytes) {
  EngineNode n = EngineNode::create(1);
  EXPECT_TRUE(n.is_live());
  n.last_accessed = 300;
  const std::string want = byte_list({0x01, 0x00, 0x00, 0x01, 0x05, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00,
                              0xAC, 0x02, 0x00, 0x00, 0x00, 0x3F, 0xCD, 0xCC, 0xCC, 0x3D, 0x00});
  EXPECT_EQ(encoded([&](BinaryWriter& w) { encode_node(w, n); }), want);
}

EngineNode full_node() {
  EngineNode n = EngineNode::create(kMaxNodeId - 7);
  n.bitset = {0, ~uint64_t{0}};
  n.aux_u32 = 0xFFFFFFFF;
  n.flags = 0x31;
  n.vector = VectorRepr::f32({0.25f, -1.5f, 3.0f});
  n.epoch = 9;
  n.add_edge(5, 2, 0.75f);
  n.add_edge(6, 2, 1.0f);
  n.edges.push_back(NodeEdge{7, 3, -1.0f, true, 123456789});
  n.set_field("b", FV::list_date_time({codec_noon(), *DateTime::from_civil(-5, 1, 1, 0, 0, 0, 1),
                                        *DateTime::from_civil(10000, 12, 31, 23, 59, 59, 0)}));
  n.set_field("a", FV::string("h\xC3\xA9"));
  n.set_field("i", FV::integer(std::numeric_limits<int64_t>::min()));
  n.set_field("f", FV::list_float({1e300, -0.0}));
  n.set_field("l", FV::list_bool({true, true, false}));
  n.set_field("n", FV::null());
  n.tier = Tier::kHot;
  n.hits = 42;
  n.confidence_score = 0.9f;
  n.importance = 0.2f;
  n.byte_fields["raw"] = std::string("\x00\xFF", 2);
  return n;
}

TEST(NodeCodecTest, NodesRoundTripBitExactly) {
  std::vector<EngineNode> nodes = {full_node(), EngineNode::create(0)};
  for (VectorRepr v : {VectorRepr::binary({7}), VectorRepr::turbo({1, 2}),
                       VectorRepr::sq8(0.5f, {-127, 0, 127})}) {
    EngineNode n = full_node();
    n.vector = v;
    nodes.push_back(n);
  }
  for (const EngineNode& n : nodes) {
    SCOPED_TRACE(testing::Message() << "vector kind " << static_cast<int>(n.vector.kind()));
    const std::string bytes = encoded([&](BinaryWriter& w) { encode_node(w, n); });
    const std::string input = bytes + "trailing garbage";
    BinaryReader r(input);
    auto back = decode_node(r);
    ASSERT_TRUE(back.ok()) << static_cast<int>(back.error());
    EXPECT_EQ(back.value(), n);
    EXPECT_EQ(encoded([&](BinaryWriter& w) { encode_node(w, back.value()); }), bytes);
  }
  // Field names are written in byte order whatever the insertion order.
  const std::string meta = encode_node_metadata(NodeMetadata{full_node().fields, {}, 0, {}});
  EXPECT_EQ(meta.substr(0, 3), byte_list({0x06, 0x01, 'a'}));
  auto m = decode_node_metadata(meta + "\x01\x02");
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(m.value().fields, full_node().fields);
}

TEST(NodeCodecTest, MetadataReaderKeepsLaterDuplicateAndConvertsOffsets) {
  const std::string dup = byte_list({0x02, 0x01, 'a', 0x01, 0x02, 0x01, 'a', 0x01, 0x04, 0x00, 0x00, 0x00});
  auto m = decode_node_metadata(dup);
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(m.value().fields, (FieldMap{{"a", FV::integer(2)}}));

  for (std::string text : {"2024-05-01T14:00:00+02:00", "2024-05-01 12:00:00Z"}) {
    std::string in = byte_list({0x01, 0x01, 'd', 0x04, static_cast<int>(text.size())}) + text + byte_list({0, 0, 0});
    auto t = decode_node_metadata(in);
    ASSERT_TRUE(t.ok()) << text;
    EXPECT_EQ(t.value().fields.at("d"), FV::date_time(codec_noon())) << text;
  }
}

TEST(NodeCodecTest, EveryDecoderErrorKindFromCraftedInput) {
  // Metadata prefix holding one field "a" whose value follows.
  auto field = [](std::string value) { return byte_list({0x01, 0x01, 'a'}) + value + byte_list({0x00, 0x00, 0x00}); };
  std::string bad_dt = "2024-05-01T12:00:00Z x";
  struct Case {
    const char* name;
    std::string in;
    K want;
  } cases[] = {
      {"empty", "", K::kUnexpectedEnd},
      {"ends after txn_stamp", byte_list({0x00, 0x00, 0x01}), K::kUnexpectedEnd},
      {"option byte 2", byte_list({0x00, 0x00, 0x01, 0x02}), K::kBadOption},
      {"variant 11", field(byte_list({0x0B})), K::kDecodeCustom},
      {"variant index too wide", field(byte_list({0xFF, 0xFF, 0xFF, 0xFF, 0x10})), K::kBadVarint},
      {"bool byte 2", field(byte_list({0x03, 0x02})), K::kBadBool},
      {"list bool byte 2", field(byte_list({0x08, 0x01, 0x02})), K::kBadBool},
      {"name not utf8", byte_list({0x01, 0x02, 0xC3, 0x28, 0x0A, 0, 0, 0}), K::kBadUtf8},
      {"string not utf8", field(byte_list({0x00, 0x01, 0xFF})), K::kBadUtf8},
      {"datetime trailing text", field(byte_list({0x04, static_cast<int>(bad_dt.size())}) + bad_dt),
       K::kDecodeCustom},
      {"edge direction 2", byte_list({0x00, 0x01, 0x02, 0x00, 0, 0, 0x80, 0x3F, 0x02, 0x05, 0x01, 0x00}),
       K::kBadBool},
      {"count ten continuation bytes", std::string(10, '\xFF'), K::kBadVarint},
      {"list count 2^40 then two", field(byte_list({0x06, 0x80, 0x80, 0x80, 0x80, 0x80, 0x20, 0x02, 0x04})),
       K::kUnexpectedEnd},
      {"float list count beyond input", field(byte_list({0x07, 0x80, 0x80, 0x80, 0x80, 0x80, 0x20})),
       K::kUnexpectedEnd},
      {"string length beyond input", field(byte_list({0x00, 0x05, 'a'})), K::kUnexpectedEnd},
      {"float cut short", field(byte_list({0x02, 0x00, 0x00})), K::kUnexpectedEnd},
  };
  for (const Case& c : cases) {
    auto m = decode_node_metadata(c.in);
    ASSERT_FALSE(m.ok()) << c.name;
    const auto* s = m.error().as<ZolvaError::Serialization>();
    ASSERT_NE(s, nullptr) << c.name;
    const auto* fmt = dynamic_cast<const BinaryFormatError*>(s->error.get());
    ASSERT_NE(fmt, nullptr) << c.name;
    EXPECT_EQ(fmt->kind(), c.want) << c.name;
  }
}

TEST(NodeCodecTest, NodeDecoderErrorKinds) {
  const std::string good = encoded([](BinaryWriter& w) { encode_node(w, EngineNode::create(1)); });
  auto with = [&](size_t at, std::string repl) { return good.substr(0, at) + repl + good.substr(at + 1); };
  // Offsets into the new-node bytes: 3 flags, 4 vector index, 9 tier.
  struct Case {
    const char* name;
    std::string in;
    K want;
  } cases[] = {
      {"vector index 6", with(4, byte_list({0x06})), K::kDecodeCustom},
      {"tier 2", with(9, byte_list({0x02})), K::kDecodeCustom},
      {"flags beyond 32 bits", with(3, byte_list({0xFF, 0xFF, 0xFF, 0xFF, 0x1F})), K::kBadVarint},
      {"sq8 scale cut short", good.substr(0, 4) + byte_list({0x02, 0x01, 0x05, 0x00, 0x00, 0x80}),
       K::kUnexpectedEnd},
      {"id beyond 128 bits", std::string(18, '\xFF') + byte_list({0x04}), K::kBadVarint},
  };
  for (const Case& c : cases) {
    BinaryReader r(c.in);
    auto n = decode_node(r);
    ASSERT_FALSE(n.ok()) << c.name;
    EXPECT_EQ(n.error(), c.want) << c.name;
  }
  for (size_t len = 0; len < good.size(); ++len) {
    BinaryReader r(std::string_view(good).substr(0, len));
    auto n = decode_node(r);
    ASSERT_FALSE(n.ok()) << len;
    EXPECT_EQ(n.error(), K::kUnexpectedEnd) << len;
  }
}

TEST(NodeCodecTest, StoredValueCap) {
  std::string big(kMaxStoredValueBytes + 1, '\0');
  auto refused = decode_node_metadata(big);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message(),
            "Serialization error: node metadata payload of 134217729 bytes exceeds 134217728 byte cap");
  auto archived = decode_archived_node(big);
  ASSERT_FALSE(archived.ok());
  EXPECT_EQ(archived.error().message(),
            "Serialization error: archived node payload of 134217729 bytes exceeds 134217728 byte cap");

  big.resize(kMaxStoredValueBytes);
  big[2] = 0x07;  // fields 00, edges 00, txn_stamp 07, aux absent, then padding
  auto at_cap = decode_node_metadata(big);
  ASSERT_TRUE(at_cap.ok());
  EXPECT_EQ(at_cap.value().txn_stamp, 7u);
}

}  // namespace
}  // namespace zv
