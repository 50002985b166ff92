#include "src/record/wal_record.h"

#include <gtest/gtest.h>

#include <memory>

#include "src/record/node_codec.h"

namespace zv {
namespace {

using K = BinaryFormatErrorKind;

std::string b(std::initializer_list<int> xs) {
  std::string s;
  for (int x : xs) s.push_back(static_cast<char>(x));
  return s;
}

TEST(WalRecordTest, GoldenBytesAndRoundTrip) {
  EngineNode node = EngineNode::create(1);
  node.last_accessed = 5;
  std::string node_bytes;
  {
    BinaryWriter w(&node_bytes);
    encode_node(w, node);
  }
  struct Case {
    const char* name;
    WalRecord rec;
    std::string want;
  } cases[] = {
      {"insert", WalInsert{node}, b({0x00}) + node_bytes},
      {"update", WalUpdate{300, node}, b({0x01, 0xAC, 0x02}) + node_bytes},
      {"delete 1", WalDelete{1}, b({0x02, 0x01})},
      {"delete max", WalDelete{kMaxNodeId}, b({0x02}) + std::string(18, '\xFF') + b({0x03})},
      {"reserved3 empty", WalReserved3{7, std::nullopt, std::nullopt}, b({0x03, 0x07, 0x00, 0x00})},
      {"reserved3 full", WalReserved3{7, 8, 9}, b({0x03, 0x07, 0x01, 0x08, 0x01, 0x09})},
      {"begin 300", WalTxnBegin{300}, b({0x04, 0xAC, 0x02})},
      {"reserved5", WalReserved5{1, 2}, b({0x05, 0x01, 0x02})},
      {"commit", WalTxnCommit{0}, b({0x06, 0x00})},
      {"abort", WalTxnAbort{~uint64_t{0}}, b({0x07}) + std::string(9, '\xFF') + b({0x01})},
  };
  for (const Case& c : cases) {
    const std::string bytes = encode_wal_record(c.rec);
    EXPECT_EQ(bytes, c.want) << c.name;
    auto back = decode_wal_record(bytes + "\xFF");
    ASSERT_TRUE(back.ok()) << c.name;
    EXPECT_EQ(back.value(), c.rec) << c.name;
  }
  EXPECT_EQ(wal_record_kind(decode_wal_record(b({0x02, 0x01, 0xFF})).value()),
            WalRecordKind::kDelete);

  std::string direct;
  BinaryWriter w(&direct);
  encode_wal_insert(w, node);
  encode_wal_delete(w, 1);
  EXPECT_EQ(direct, b({0x00}) + node_bytes + b({0x02, 0x01}));
}

TEST(WalRecordTest, InsertKeepsAMappedVectorsValues) {
  auto floats = std::make_shared<std::vector<float>>(std::vector<float>{0.5f, -2.0f});
  EngineNode node = EngineNode::create(9);
  node.vector = VectorRepr::mmap_full(
      MappedVector(floats, reinterpret_cast<const unsigned char*>(floats->data()), 8));
  auto back = decode_wal_record(encode_wal_record(WalInsert{node}));
  ASSERT_TRUE(back.ok());
  const auto& got = std::get<WalInsert>(back.value()).node.vector;
  ASSERT_NE(got.as_f32(), nullptr);
  EXPECT_EQ(*got.as_f32(), (std::vector<float>{0.5f, -2.0f}));
}

TEST(WalRecordTest, MalformedPayloads) {
  struct Case {
    const char* name;
    std::string in;
    K want;
  } cases[] = {
      {"empty", "", K::kUnexpectedEnd},
      {"index 8", b({0x08}), K::kDecodeCustom},
      {"index 256", b({0x80, 0x02}), K::kDecodeCustom},
      {"index too wide", b({0xFF, 0xFF, 0xFF, 0xFF, 0x10}), K::kBadVarint},
      {"delete without id", b({0x02}), K::kUnexpectedEnd},
      {"reserved3 option 2", b({0x03, 0x07, 0x02}), K::kBadOption},
      {"reserved3 second option 2", b({0x03, 0x07, 0x00, 0x02}), K::kBadOption},
      {"reserved5 u32 too wide", b({0x05, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x10}), K::kBadVarint},
      {"update without node", b({0x01, 0x05}), K::kUnexpectedEnd},
      {"insert tier 2", b({0x00, 0x01, 0x00, 0x00, 0x01, 0x05, 0x00, 0x00, 0x00, 0x00, 0x02}),
       K::kDecodeCustom},
  };
  for (const Case& c : cases) {
    auto r = decode_wal_record(c.in);
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_EQ(r.error(), c.want) << c.name;
  }
}

}  // namespace
}  // namespace zv
