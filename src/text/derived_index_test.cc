#include "src/text/derived_index.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>

#include "src/backends/backend_kv_service.h"
#include "src/backends/in_memory_backend.h"
#include "src/record/node_key.h"

namespace zv::text {
namespace {

using namespace std::string_literals;

MemoryRecord record(std::string ns, std::string key, FieldMap metadata) {
  MemoryRecord r;
  r.ns = std::move(ns);
  r.key = std::move(key);
  r.node_id = record_node_id(r.ns, r.key);
  r.metadata = std::move(metadata);
  return r;
}

TEST(DerivedIndex, ValueTexts) {
  struct Case {
    FieldValue value;
    std::string text;
  };
  const Case cases[] = {
      {FieldValue::string("a\0b"s), "s:a\0b"s},
      {FieldValue::integer(-7), "i:-7"},
      {FieldValue::integer(0), "i:0"},
      {FieldValue::integer(std::numeric_limits<int64_t>::min()), "i:-9223372036854775808"},
      {FieldValue::boolean(true), "b:1"},
      {FieldValue::boolean(false), "b:0"},
      {FieldValue::null(), "n:"},
      {FieldValue::floating(1.0), "f:3ff0000000000000"},
      {FieldValue::floating(-0.0), "f:8000000000000000"},
      {FieldValue::floating(0.0), "f:0000000000000000"},
      {FieldValue::date_time(*DateTime::from_civil(2024, 5, 1, 12, 0, 0, 0)),
       "d:2024-05-01T12:00:00.000000Z"},
      {FieldValue::date_time(*DateTime::from_civil(2024, 5, 1, 12, 0, 0, 123456789)),
       "d:2024-05-01T12:00:00.123456Z"},
  };
  for (const auto& c : cases) {
    auto t = scalar_index_value_text(c.value);
    ASSERT_TRUE(t.ok()) << c.text;
    EXPECT_EQ(*t, c.text);
  }
  auto list = scalar_index_key("n", "f", FieldValue::list_int({1}));
  ASSERT_FALSE(list.ok());
  EXPECT_EQ(list.error().message(),
            "Validation error on value: Cannot encode list value as scalar index key");
  EXPECT_EQ(*scalar_index_key("n", "f", FieldValue::integer(2)), "n\0f\0i:2\0"s);
  EXPECT_EQ(namespace_index_key("n", "k"), "n\0k"s);
}

TEST(DerivedIndex, PutOpsOfAListAndAScalar) {
  MemoryRecord r = record("n", "k", {{"tags", FieldValue::list_string({"a", "b", "a"})},
                                     {"score", FieldValue::integer(2)},
                                     {"empty", FieldValue::list_int({})}});
  auto ops = derived_index_put_ops(r);
  ASSERT_TRUE(ops.ok());
  const std::string id = node_key(r.node_id);
  const std::vector<BatchOp> expected = {
      BatchOp::put(Partition::kNamespaceIndex, "n\0k"s, id),
      BatchOp::put(Partition::kPayloadIndex, "n\0score\0i:2\0k"s, id),
      BatchOp::put(Partition::kPayloadIndex, "n\0tags\0s:a\0k"s, id),
      BatchOp::put(Partition::kPayloadIndex, "n\0tags\0s:b\0k"s, id),
      BatchOp::put(Partition::kPayloadIndex, "n\0tags\0s:a\0k"s, id),
  };
  EXPECT_EQ(*ops, expected);
  EXPECT_EQ(payload_entry_count(r), 3u);  // distinct keys: score, a, b
  EXPECT_EQ(payload_entry_count(std::span<const BatchOp>(*ops)), 3u);
  std::vector<BatchOp> appended = {BatchOp::del(Partition::kPayloadIndex, "other")};
  ASSERT_TRUE(append_derived_index_put_ops(r, &appended).ok());
  EXPECT_EQ(appended.size(), 1 + expected.size());

  auto dels = derived_index_delete_ops(r);
  ASSERT_TRUE(dels.ok());
  ASSERT_EQ(dels->size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ((*dels)[i], BatchOp::del(expected[i].partition, expected[i].key));
  }
}

TEST(DerivedIndex, OverLongPayloadKeysAreSkippedAndCounted) {
  const std::string long_text(kMaxIndexKeyBytes, 'x');
  MemoryRecord r = record("n", "k", {{"big", FieldValue::string(long_text)},
                                     {"tags", FieldValue::list_string({long_text, "ok"})}});
  uint64_t skipped = 0;
  auto ops = derived_index_put_ops(r, &skipped);
  ASSERT_TRUE(ops.ok());
  EXPECT_EQ(skipped, 2u);
  ASSERT_EQ(ops->size(), 2u);  // the namespace entry and tags = "ok"
  EXPECT_EQ((*ops)[1].key, "n\0tags\0s:ok\0k"s);
  for (const auto& op : *ops) EXPECT_LE(op.key.size(), kMaxIndexKeyBytes);
  EXPECT_EQ(payload_entry_count(r), 1u);
  EXPECT_EQ(derived_index_delete_ops(r)->size(), 2u);

  // A key of exactly the limit is kept.
  const std::string fits(kMaxIndexKeyBytes - std::string("n\0f\0s:\0k"s).size(), 'y');
  MemoryRecord edge = record("n", "k", {{"f", FieldValue::string(fits)}});
  skipped = 0;
  auto edge_ops = derived_index_put_ops(edge, &skipped);
  EXPECT_EQ(skipped, 0u);
  ASSERT_EQ(edge_ops->size(), 2u);
  EXPECT_EQ((*edge_ops)[1].key.size(), kMaxIndexKeyBytes);
}

class DerivedStateTest : public ::testing::Test {
 protected:
  std::shared_ptr<InMemoryBackend> backend = std::make_shared<InMemoryBackend>();
  BackendKvService kv{backend, false};
  DerivedIndexState stored() { return **DerivedIndexState::read(*backend); }
};

TEST_F(DerivedStateTest, RoundTripAndDecodeErrors) {
  EXPECT_FALSE(DerivedIndexState::read(*backend)->has_value());
  DerivedIndexState s = DerivedIndexState::create(3, 3, 7);
  ASSERT_TRUE(DerivedIndexState::write(kv, s).ok());
  EXPECT_EQ(stored(), s);
  EXPECT_EQ(DerivedIndexState{}.encode().size(), 5u);
  for (const std::string& bad : {""s, "\x01\x80"s, "\x01\x01\x01\x01"s}) {
    ASSERT_TRUE(backend->put(Partition::kInternalMetadata, "derived_index_state", bad).ok());
    auto r = DerivedIndexState::read(*backend);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ZolvaErrorKind::kSerialization);
  }
}

TEST_F(DerivedStateTest, UpdateFollowsRecordChanges) {
  MemoryRecord a = record("n", "a", {{"tags", FieldValue::list_string({"x", "y", "x"})}});
  MemoryRecord a2 = record("n", "a", {{"c", FieldValue::integer(1)}});
  // No state: nothing written.
  ASSERT_TRUE(update_derived_index_state(*backend, kv, nullptr, &a).ok());
  EXPECT_FALSE(DerivedIndexState::read(*backend)->has_value());

  ASSERT_TRUE(DerivedIndexState::write(kv, DerivedIndexState::create(0, 0, 0)).ok());
  ASSERT_TRUE(update_derived_index_state(*backend, kv, nullptr, &a).ok());
  EXPECT_EQ(stored().record_count, 1u);
  EXPECT_EQ(stored().namespace_entries, 1u);
  EXPECT_EQ(stored().payload_entries, 2u);
  ASSERT_TRUE(update_derived_index_state(*backend, kv, &a, &a2).ok());
  EXPECT_EQ(stored().record_count, 1u);
  EXPECT_EQ(stored().payload_entries, 1u);
  ASSERT_TRUE(update_derived_index_state(*backend, kv, &a2, nullptr).ok());
  ASSERT_TRUE(update_derived_index_state(*backend, kv, &a, nullptr).ok());
  EXPECT_EQ(stored().record_count, 0u);
  EXPECT_EQ(stored().payload_entries, 0u);

  DerivedIndexState v2 = DerivedIndexState::create(5, 5, 5);
  v2.schema_version = 2;
  ASSERT_TRUE(DerivedIndexState::write(kv, v2).ok());
  ASSERT_TRUE(update_derived_index_state(*backend, kv, nullptr, &a).ok());
  EXPECT_EQ(stored(), v2);
}

}  // namespace
}  // namespace zv::text
