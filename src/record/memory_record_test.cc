#include "src/record/memory_record.h"

#include <gtest/gtest.h>

#include <cmath>

#include "platform/log.h"
#include "src/record/node_key.h"

namespace zv {
namespace {

using FV = FieldValue;

std::string b(std::initializer_list<int> xs) {
  std::string s;
  for (int x : xs) s.push_back(static_cast<char>(x));
  return s;
}

MemoryRecord minimal() {
  MemoryRecord r;
  r.ns = "n";
  r.key = "k";
  r.created_at_ms = 1;
  r.updated_at_ms = 2;
  r.version = 3;
  r.node_id = 0;
  r.valid_at_ms = 4;
  return r;
}

MemoryRecord full() {
  MemoryRecord r = minimal();
  r.payload = "p";
  r.metadata = {{"topic", FV::string("x")}, {"n", FV::list_int({1})}};
  r.node_id = record_node_id("n", "k");
  r.vector = std::vector<float>{0.5f, -1.0f};
  r.sparse_vector = SparseVector{{3, 0.5f}, {70000, 2.0f}};
  r.expires_at_ms = 4102444800000;  // 2100-01-01
  r.superseded_by = "k2";
  r.superseded_at_ms = 6;
  r.invalid_at_ms = 7;
  r.confidence_class = ConfidenceClass::kDerived;
  r.confidence = 0.25f;
  r.last_validated_at_ms = 8;
  r.derived_from = {"p1", "p2"};
  r.quarantined_at_ms = 9;
  r.quarantine_reason = "unreviewed_import";
  r.quarantined_by = "system:put_batch";
  r.quarantine_review_due_ms = 10;
  return r;
}

TEST(MemoryRecordTest, BinaryFormGoldenBytes) {
  EXPECT_EQ(minimal().encode_binary(),
            b({0x01, 'n', 0x01, 'k', 0x00, 0x00, 0x01, 0x02, 0x03, 0x01, '0', 0x00, 0x00, 0x00,
               0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x00,
               0x00, 0x00}));

  MemoryRecord r = minimal();
  r.node_id = kMaxNodeId;
  r.metadata = {{"b", FV::boolean(true)}, {"a", FV::null()}};
  r.vector = std::vector<float>{};
  r.sparse_vector = SparseVector{{300, 1.0f}};
  r.expires_at_ms = 5;
  r.superseded_by = "x";
  r.invalid_at_ms = 128;
  r.confidence_class = ConfidenceClass::kDerived;
  r.derived_from = {"p"};
  r.quarantine_reason = "q";
  const std::string id = "340282366920938463463374607431768211455";
  EXPECT_EQ(r.encode_binary(),
            b({0x01, 'n', 0x01, 'k', 0x00, 0x02, 0x01, 'a', 0x0A, 0x01, 'b', 0x03, 0x01, 0x01,
               0x02, 0x03, 39}) +
                id +
                b({0x01, 0x00,                                // empty vector
                   0x01, 0x01, 0xAC, 0x02, 0x00, 0x00, 0x80, 0x3F,  // sparse
                   0x01, 0x05, 0x01, 0x01, 'x', 0x00,         // expiry, superseded
                   0x04, 0x01, 0x80, 0x01,                    // valid, invalid
                   0x01, 0x00, 0x00, 0x80, 0x3F, 0x00,        // class, confidence, last validated
                   0x01, 0x01, 'p', 0x00, 0x01, 0x01, 'q', 0x00, 0x00}));
}

TEST(MemoryRecordTest, NodeCarriesReservedFields) {
  const EngineNode n = minimal().into_node();
  std::vector<std::string> names;
  for (const auto& [name, v] : n.fields) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{
                       "__zolva_confidence_class", "__zolva_created_at_ms", "__zolva_key",
                       "__zolva_namespace", "__zolva_payload", "__zolva_updated_at_ms",
                       "__zolva_valid_at_ms", "__zolva_version"}));
  EXPECT_EQ(n.fields.at("__zolva_confidence_class"), FV::string("Asserted"));
  EXPECT_EQ(n.flags, kNodeFlagAlive);
  EXPECT_TRUE(n.vector.is_none());

  const EngineNode f = full().into_node();
  EXPECT_EQ(f.fields.size(), 19u + 2u);
  EXPECT_EQ(f.flags, kNodeFlagAlive | kNodeFlagHasVector);
  EXPECT_EQ(f.confidence_score, 0.25f);
  EXPECT_EQ(f.fields.at("__zolva_sparse_vector"), FV::list_float({3, 0.5, 70000, 2}));
  EXPECT_EQ(f.fields.at("__zolva_derived_from"), FV::list_string({"p1", "p2"}));
  // A time of 2^63 or more is stored as a negative Int and reads as absent.
  MemoryRecord big = minimal();
  big.expires_at_ms = uint64_t{1} << 63;
  EXPECT_EQ(big.into_node().fields.at("__zolva_expires_at_ms"),
            FV::integer(std::numeric_limits<int64_t>::min()));
  EXPECT_EQ(MemoryRecord::from_node(big.into_node(), true)->expires_at_ms, std::nullopt);
}

TEST(MemoryRecordTest, RoundTripThroughNode) {
  EXPECT_EQ(MemoryRecord::from_node(full().into_node(), true), full());

  MemoryRecord r = minimal();
  r.valid_at_ms = 0;
  r.vector = std::vector<float>{};
  MemoryRecord want = r;
  want.valid_at_ms = r.created_at_ms;
  want.vector = std::nullopt;
  EXPECT_EQ(MemoryRecord::from_node(r.into_node(), false), want);

  // A vector the engine quantised reads back as absent.
  EngineNode q = full().into_node();
  q.vector = VectorRepr::sq8(1.0f, {1, 2});
  EXPECT_EQ(MemoryRecord::from_node(q, false)->vector, std::nullopt);

  // A user entry under the sparse name gives way to the record's own vector.
  MemoryRecord s = full();
  s.metadata["__zolva_sparse_vector"] = FV::string("user");
  EXPECT_EQ(s.into_node().fields.at("__zolva_sparse_vector"), FV::list_float({3, 0.5, 70000, 2}));
}

TEST(MemoryRecordTest, LenientReading) {
  const EngineNode base = minimal().into_node();
  auto with = [&](std::string name, std::optional<FV> v, uint32_t flags = kNodeFlagAlive) {
    EngineNode n = base;
    n.flags = flags;
    if (v) n.fields.insert_or_assign(name, *v); else n.fields.erase(name);
    return n;
  };
  struct Case {
    const char* name;
    EngineNode node;
    bool present;
  } cases[] = {
      {"live", base, true},
      {"deleted flag", with("x", std::nullopt, 0x09), false},
      {"not alive", with("x", std::nullopt, 0x00), false},
      {"version float", with("__zolva_version", FV::floating(1.0)), false},
      {"created negative", with("__zolva_created_at_ms", FV::integer(-1)), false},
      {"payload missing", with("__zolva_payload", std::nullopt), false},
      {"namespace not string", with("__zolva_namespace", FV::list_string({"n"})), false},
      {"graph node", EngineNode::create(5), false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(MemoryRecord::from_node(c.node, false).has_value(), c.present) << c.name;

  // Other fields are user metadata; damaged optional fields read as absent.
  EngineNode n = with("type", FV::string("person"));
  n.fields["__zolva_superseded_by"] = FV::integer(3);
  n.fields["__zolva_invalid_at_ms"] = FV::integer(-4);
  n.fields["__zolva_derived_from"] = FV::string("p");
  n.fields["__zolva_valid_at_ms"] = FV::string("soon");
  n.confidence_score = 0.3f;
  auto r = MemoryRecord::from_node(n, false);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->metadata, (FieldMap{{"type", FV::string("person")}}));
  EXPECT_EQ(r->superseded_by, std::nullopt);
  EXPECT_EQ(r->invalid_at_ms, std::nullopt);
  EXPECT_TRUE(r->derived_from.empty());
  EXPECT_EQ(r->valid_at_ms, 1u);  // not an Int: the creation time
  EXPECT_EQ(r->confidence, 0.3f);  // the validity field exists

  EngineNode no_valid = with("__zolva_valid_at_ms", std::nullopt);
  no_valid.confidence_score = 0.3f;
  EXPECT_EQ(MemoryRecord::from_node(no_valid, false)->confidence, 1.0f);
  EXPECT_EQ(MemoryRecord::from_node(no_valid, false)->valid_at_ms, 1u);
}

TEST(MemoryRecordTest, ExpiryExclusion) {
  const uint64_t now = record_now_ms();
  struct Case {
    std::optional<uint64_t> expires;
    bool exclude;
    bool present;
  } cases[] = {
      {std::nullopt, true, true},
      {0, true, true},
      {now - 1000, true, false},
      {now - 1000, false, true},
      {now + 3'600'000, true, true},
  };
  for (const Case& c : cases) {
    MemoryRecord r = minimal();
    r.expires_at_ms = c.expires;
    EXPECT_EQ(MemoryRecord::from_node(r.into_node(), c.exclude).has_value(), c.present)
        << c.expires.value_or(12345) << " " << c.exclude;
  }
}

TEST(MemoryRecordTest, SparseAndClassReadingWithWarnings) {
  struct Case {
    const char* name;
    std::string field;
    FV value;
    std::optional<SparseVector> sparse;
    ConfidenceClass cls;
    const char* warning;  // null: no warning
  } cases[] = {
      {"pairs", "__zolva_sparse_vector", FV::list_float({7, 1.5}), SparseVector{{7, 1.5f}},
       ConfidenceClass::kAsserted, nullptr},
      {"odd pairs", "__zolva_sparse_vector", FV::list_float({1, 2, 3}), std::nullopt,
       ConfidenceClass::kAsserted, "malformed ListFloat pairs"},
      {"json null", "__zolva_sparse_vector", FV::string("null"), std::nullopt,
       ConfidenceClass::kAsserted, nullptr},
      {"json object", "__zolva_sparse_vector", FV::string("{\"7\": 1.5, \"2\": 3, \"7\": 2}"),
       SparseVector{{2, 3.0f}, {7, 2.0f}}, ConfidenceClass::kAsserted, nullptr},
      {"json bad name", "__zolva_sparse_vector", FV::string("{\"x\": 1}"), std::nullopt,
       ConfidenceClass::kAsserted, "corrupt sparse vector payload ignored"},
      {"json garbage", "__zolva_sparse_vector", FV::string("{"), std::nullopt,
       ConfidenceClass::kAsserted, "corrupt sparse vector payload ignored"},
      {"deeply nested json", "__zolva_sparse_vector", FV::string(std::string(200000, '[')),
       std::nullopt, ConfidenceClass::kAsserted, "corrupt sparse vector payload ignored"},
      {"json nested value", "__zolva_sparse_vector", FV::string("{\"1\": {\"2\": 3}}"), std::nullopt,
       ConfidenceClass::kAsserted, "corrupt sparse vector payload ignored"},
      {"other variant", "__zolva_sparse_vector", FV::integer(1), std::nullopt,
       ConfidenceClass::kAsserted, nullptr},
      {"derived", "__zolva_confidence_class", FV::string("Derived"), std::nullopt,
       ConfidenceClass::kDerived, nullptr},
      {"lower-case class", "__zolva_confidence_class", FV::string("derived"), std::nullopt,
       ConfidenceClass::kAsserted, "unknown confidence_class"},
      {"class not string", "__zolva_confidence_class", FV::integer(1), std::nullopt,
       ConfidenceClass::kAsserted, nullptr},
  };
  for (const Case& c : cases) {
    log::CaptureSink sink(log::Level::kWarn);
    EngineNode n = minimal().into_node();
    n.fields.insert_or_assign(c.field, c.value);
    auto r = MemoryRecord::from_node(n, false);
    ASSERT_TRUE(r.has_value()) << c.name;
    EXPECT_EQ(r->sparse_vector, c.sparse) << c.name;
    EXPECT_EQ(r->confidence_class, c.cls) << c.name;
    EXPECT_EQ(sink.events().size(), c.warning ? 1u : 0u) << c.name;
    if (c.warning) {
      EXPECT_TRUE(sink.contains(c.warning)) << c.name;
    }
  }
}

TEST(MemoryRecordTest, NonzeroVectorAndMetadataString) {
  const float nan = std::nanf("");
  EXPECT_EQ(nonzero_vector(std::vector<float>{0.0f, -0.0f}), std::nullopt);
  EXPECT_EQ(nonzero_vector(std::vector<float>{}), std::nullopt);
  EXPECT_EQ(nonzero_vector(std::nullopt), std::nullopt);
  EXPECT_TRUE(nonzero_vector(std::vector<float>{0.0f, nan}).has_value());
  EXPECT_EQ(nonzero_vector(std::vector<float>{0.0f, 1e-30f}), (std::vector<float>{0.0f, 1e-30f}));

  const FieldMap m = {{"s", FV::string("t")}, {"i", FV::integer(1)}};
  EXPECT_EQ(metadata_string(m, "s"), "t");
  EXPECT_EQ(metadata_string(m, "i"), std::nullopt);
  EXPECT_EQ(metadata_string(m, "missing"), std::nullopt);
}

}  // namespace
}  // namespace zv
