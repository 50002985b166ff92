#include "src/record/validation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/checksum.h"
#include "src/record/node_key.h"

namespace zv {
namespace {

// "" when ok, else "field|reason".
std::string outcome(const ZolvaStatus& s) {
  if (s.ok()) return "";
  const auto* v = s.error().as<ZolvaError::Validation>();
  if (v == nullptr) return "not a validation error";
  return v->field + "|" + v->reason;
}

TEST(ValidationTest, NamespaceAndKeyRules) {
  const std::string ns_bad = "namespace|namespace may contain only A-Z, a-z, 0-9, '.', '_', '/', '-'";
  struct Case {
    bool is_key;
    std::string input;
    std::string want;
  } cases[] = {
      {false, "", "namespace|namespace must not be empty"},
      {false, std::string(128, 'a'), ""},
      {false, std::string(129, 'a'), "namespace|namespace must be at most 128 bytes"},
      {false, std::string(128, 'a') + " ", "namespace|namespace must be at most 128 bytes"},
      {false, "Agent_1/mem-ory.v2", ""},
      {false, "a b", ns_bad},
      {false, "caf\xC3\xA9", ns_bad},
      {false, "a:b", ns_bad},
      {true, "", "key|key must not be empty"},
      {true, std::string(512, 'k'), ""},
      {true, std::string(513, 'k'), "key|key must be at most 512 bytes"},
      {true, std::string(512, 'k') + std::string(1, '\0'), "key|key must be at most 512 bytes"},
      {true, std::string("a\0b", 3), "key|key must not contain NUL bytes"},
      {true, " ", ""},
      {true, "caf\xC3\xA9 / key", ""},
  };
  for (const Case& c : cases) {
    const ZolvaStatus s = c.is_key ? validate_key(c.input) : validate_namespace(c.input);
    EXPECT_EQ(outcome(s), c.want) << c.input.size() << " " << c.input.substr(0, 20);
  }
}

TEST(ValidationTest, MetadataKeyRules) {
  auto meta = [](std::initializer_list<std::string> names) {
    FieldMap m;
    for (const auto& n : names) m.emplace(n, FieldValue::null());
    return m;
  };
  struct Case {
    FieldMap m;
    std::string want;
  } cases[] = {
      {meta({}), ""},
      {meta({"a", "__ZOLVA_x", "__Zolva_y"}), ""},
      {meta({"__zolva_"}), "metadata|metadata key '__zolva_' is reserved for ZivirOR internals"},
      // Reserved before NUL, even though the NUL key sorts first.
      {meta({std::string("\0a", 2), "__zolva_key"}),
       "metadata|metadata key '__zolva_key' is reserved for ZivirOR internals"},
      {meta({"b", std::string("a\0z", 3)}),
       std::string("metadata|metadata key 'a") + '\0' + "z' must not contain NUL bytes"},
  };
  for (const Case& c : cases) EXPECT_EQ(outcome(validate_metadata_keys(&c.m)), c.want);
  EXPECT_EQ(outcome(validate_metadata_keys(nullptr)), "");
}

TEST(ValidationTest, ProvenanceRules) {
  const auto A = ConfidenceClass::kAsserted;
  const auto D = ConfidenceClass::kDerived;
  const std::string range = "confidence|confidence must be a finite number in [0,1]";
  struct Case {
    ConfidenceClass cls;
    size_t parents;
    float confidence;
    std::string want;
  } cases[] = {
      {A, 0, 1.0f, ""},
      {A, 0, 0.0f, ""},
      {A, 0, -0.0f, ""},
      {A, 0, std::nextafter(1.0f, 2.0f), range},
      {A, 0, std::numeric_limits<float>::quiet_NaN(), range},
      {A, 0, -std::numeric_limits<float>::infinity(), range},
      {D, 0, 2.0f, range},
      {D, 0, 0.5f, "derived_from|derived records require a non-empty derived_from parent list"},
      {D, 2, 0.5f, ""},
      {A, 1, 0.5f, "derived_from|asserted records cannot declare derived_from parents"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(outcome(validate_provenance(c.cls, c.parents, c.confidence)), c.want) << c.confidence;
  EXPECT_EQ(parse_confidence_class("Derived"), D);
  EXPECT_EQ(parse_confidence_class("derived"), std::nullopt);
  EXPECT_EQ(parse_confidence_class(""), std::nullopt);
}

TEST(ValidationTest, NodeIdGoldenValues) {
  // Reference digests from an independent XXH3-128 implementation, printed
  // high half first.
  struct Case {
    std::string ns, key;
    const char* decimal;
    const char* key_hex;
  } cases[] = {
      {"ns", "k", "56149042414448487831425790591554898341", "a54951cef92d5d52a36e59d286e93d2a"},
      {"a", "bc", "205194763178771359139591045398648274347", "ab3d3ba145856c72818a890bea125f9a"},
      {"ab", "c", "116474667914206883705781012670727348513", "21610c4ee68211a7da2038757f34a057"},
  };
  for (const Case& c : cases) {
    const NodeId id = record_node_id(c.ns, c.key);
    EXPECT_EQ(node_id_to_string(id), c.decimal) << c.ns << "/" << c.key;
    std::string hex;
    for (unsigned char b : node_key(id)) {
      static const char* d = "0123456789abcdef";
      hex += d[b >> 4];
      hex += d[b & 15];
    }
    EXPECT_EQ(hex, c.key_hex);
    EXPECT_TRUE(node_id_from_key(node_key(id)) == id);
  }
  // Long inputs take the streaming path: it must give the one-shot digest of
  // namespace, zero byte and key.
  for (size_t len : {size_t{1021}, size_t{1022}, size_t{1023}, size_t{2000}}) {
    const std::string long_key(len, 'x');
    const Hash128 whole = xxh3_128(std::string("n") + '\0' + long_key);
    EXPECT_TRUE(record_node_id("n", long_key) == make_node_id(whole.high, whole.low)) << len;
  }
  EXPECT_EQ(node_id_from_key("short"), std::nullopt);
}

TEST(ValidationTest, EqualityFiltersAndFilterItems) {
  const FieldMap meta = {{"n", FieldValue::integer(7)},
                         {"s", FieldValue::string("1")},
                         {"f", FieldValue::floating(std::nan(""))}};
  const FieldMap empty;
  EXPECT_TRUE(matches_equality_filters(empty, {}));
  EXPECT_FALSE(matches_equality_filters(empty, {{"n", FieldValue::integer(7)}}));
  EXPECT_TRUE(matches_equality_filters(meta, {{"n", FieldValue::integer(7)}}));
  EXPECT_FALSE(matches_equality_filters(meta, {{"n", FieldValue::floating(7.0)}}));
  EXPECT_FALSE(matches_equality_filters(meta, {{"missing", FieldValue::null()}}));
  EXPECT_FALSE(matches_equality_filters(meta, {{"f", FieldValue::floating(std::nan(""))}}));
  EXPECT_FALSE(matches_equality_filters(meta, {{"__zolva_key", FieldValue::string("k")}}));

  using Op = FilterOp;
  struct Case {
    std::vector<MemoryFilterItem> items;
    bool want;
  } cases[] = {
      {{}, true},
      {{{"n", Op::kEq, FieldValue::integer(7)}}, true},
      {{{"n", Op::kNeq, FieldValue::string("7")}}, true},
      {{{"s", Op::kNeq, FieldValue::integer(1)}}, true},
      {{{"missing", Op::kNeq, FieldValue::integer(1)}}, false},
      {{{"n", Op::kGt, FieldValue::floating(1.5)}}, false},  // Int orders below Float
      {{{"n", Op::kLt, FieldValue::floating(1.5)}}, true},
      {{{"n", Op::kGte, FieldValue::integer(7)}, {"n", Op::kLte, FieldValue::integer(7)}}, true},
      {{{"n", Op::kGte, FieldValue::integer(8)}}, false},
      {{{"f", Op::kLte, FieldValue::floating(1.0)}}, false},
      {{{"f", Op::kGt, FieldValue::floating(1.0)}}, false},
      {{{"n", Op::kEq, FieldValue::integer(7)}, {"s", Op::kEq, FieldValue::string("2")}}, false},
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(matches_filter_items(meta, cases[i].items), cases[i].want) << "case " << i;
  EXPECT_FALSE(matches_filter_items(empty, {{"n", Op::kNeq, FieldValue::null()}}));
}

TEST(ValidationTest, SparsePairs) {
  struct Case {
    std::vector<double> in;
    std::optional<SparseVector> want;
  } cases[] = {
      {{3, 0.5, 3, 0.25}, SparseVector{{3, 0.25f}}},
      {{}, SparseVector{}},
      {{-0.0, 1.0, 4294967295.0, 2.0}, SparseVector{{0, 1.0f}, {4294967295u, 2.0f}}},
      {{1.5, 1.0}, std::nullopt},
      {{-1, 1.0}, std::nullopt},
      {{4294967296.0, 1}, std::nullopt},
      {{std::nan(""), 1}, std::nullopt},
      {{1, 2, 3}, std::nullopt},
      {{1, 0.1}, SparseVector{{1, 0.1f}}},
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(decode_sparse_pairs(cases[i].in), cases[i].want) << "case " << i;
}

}  // namespace
}  // namespace zv
