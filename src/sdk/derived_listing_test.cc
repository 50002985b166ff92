#include <gtest/gtest.h>

#include "src/record/node_key.h"
#include "src/runtime/operational_counters.h"
#include "src/sdk/filtered_listing.h"
#include "src/sdk/index_rebuild.h"
#include "src/sdk/record_index.h"
#include "src/sdk/testing/indexed_writes.h"
#include "src/text/derived_index.h"
#include "src/text/sparse_index.h"

namespace zv {
namespace {

using sdk_testing::make_record;
using namespace std::string_literals;

class DerivedListingTest : public sdk_testing::DbFixture {
 protected:
  void SetUp() override {
    db.emplace(open_ok());
    engine = engine_of(*db);
  }
  void put(const MemoryRecord& r) { ASSERT_TRUE(sdk_testing::put_indexed(*engine, r).ok()); }
  std::vector<std::string> keys(const FieldMap& filter, std::string ns = "n") {
    auto r = list_filtered_records(*db, ns, filter);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
    std::vector<std::string> out;
    if (r.ok())
      for (const auto& rec : *r) out.push_back(rec.key);
    return out;
  }
  static uint64_t fallbacks() { return OperationalCounters::global().derived_full_scan_fallbacks.read(); }
  static uint64_t scans() { return OperationalCounters::global().derived_prefix_scans.read(); }

  std::optional<EmbeddedDb> db;
  std::shared_ptr<StorageEngine> engine;
};

TEST_F(DerivedListingTest, FiltersReadCandidatesFromTheFirstField) {
  const FieldValue red = FieldValue::string("red");
  put(make_record("n", "c", "", {{"color", red}, {"size", FieldValue::integer(3)}}));
  put(make_record("n", "a", "", {{"color", red}, {"size", FieldValue::integer(3)}}));
  put(make_record("n", "b", "", {{"color", red}, {"size", FieldValue::integer(4)}}));
  put(make_record("n", "d", "", {{"color", FieldValue::string("blue")}, {"size", FieldValue::integer(3)}}));
  put(make_record("other", "a", "", {{"color", red}}));
  MemoryRecord expired = make_record("n", "e", "", {{"color", red}});
  expired.expires_at_ms = 5;
  put(expired);

  const uint64_t scans_before = scans();
  EXPECT_EQ(keys({}), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(keys({{"color", red}, {"size", FieldValue::integer(3)}}), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(scans(), scans_before + 2);  // one lookup each: color only, not size
  // The candidates come from color; a record without a color entry is not
  // found even though size matches.
  ASSERT_TRUE(engine->backend->del(Partition::kPayloadIndex,
                                   *text::scalar_index_key("n", "color", red) + "a").ok());
  EXPECT_EQ(keys({{"color", red}, {"size", FieldValue::integer(3)}}), (std::vector<std::string>{"c"}));

  auto list = list_filtered_records(*db, "n", {{"color", FieldValue::list_string({"red"})}});
  ASSERT_FALSE(list.ok());
  EXPECT_NE(list.error().message().find("Cannot encode list value as scalar index key"), std::string::npos);
}

TEST_F(DerivedListingTest, ZeroFloatsAndOverLongValuesUseTheNamespaceIndex) {
  const std::string huge(70000, 'h');
  put(make_record("n", "neg", "", {{"x", FieldValue::floating(-0.0)}}));
  put(make_record("n", "pos", "", {{"x", FieldValue::floating(0.0)}}));
  put(make_record("n", "big", "", {{"s", FieldValue::string(huge)}}));
  // The over-long entry was never written.
  auto entries = engine->backend->scan_all(Partition::kPayloadIndex);
  for (const auto& kv : *entries) EXPECT_LE(kv.key.size(), text::kMaxIndexKeyBytes);
  EXPECT_EQ(keys({{"x", FieldValue::floating(0.0)}}), (std::vector<std::string>{"neg", "pos"}));
  EXPECT_EQ(keys({{"x", FieldValue::floating(-0.0)}}), (std::vector<std::string>{"neg", "pos"}));
  EXPECT_EQ(keys({{"s", FieldValue::string(huge)}}), (std::vector<std::string>{"big"}));
}

TEST_F(DerivedListingTest, ScansAllNodesOnlyWithoutAState) {
  // Nodes without index entries, and no derived state.
  ASSERT_TRUE(sdk_testing::put_node_only(*engine, make_record("n", "k", "", {{"f", FieldValue::integer(1)}})).ok());
  uint64_t before = fallbacks();
  EXPECT_TRUE(keys({{"f", FieldValue::integer(1)}}).empty());  // a state exists: no scan
  EXPECT_EQ(fallbacks(), before);
  ASSERT_TRUE(engine->backend->del(Partition::kInternalMetadata, text::kDerivedIndexStateKey).ok());
  EXPECT_EQ(keys({{"f", FieldValue::integer(1)}}), (std::vector<std::string>{"k"}));
  EXPECT_EQ(keys({}), (std::vector<std::string>{"k"}));
  EXPECT_EQ(fallbacks(), before + 2);
}

TEST_F(DerivedListingTest, RebuildsThroughTheHandle) {
  ASSERT_TRUE(sdk_testing::put_node_only(
      *engine, make_record("n", "k", "", {{"f", FieldValue::integer(1)},
                                 {"tags", FieldValue::list_string({"a", "b", "a"})}},
                           SparseVector{{1, 0.5f}})).ok());
  ASSERT_TRUE(engine->backend->put(Partition::kNamespaceIndex, "n\0gone"s, node_key(7)).ok());
  auto d = rebuild_derived_index(*db);
  ASSERT_TRUE(d.ok());
  EXPECT_EQ(d->record_count, 1u);
  EXPECT_EQ(d->payload_entries, 3u);  // distinct keys: f:1, tags a and b
  EXPECT_EQ(keys({{"f", FieldValue::integer(1)}}), (std::vector<std::string>{"k"}));
  auto ns_keys = engine->backend->scan_all(Partition::kNamespaceIndex);
  ASSERT_EQ(ns_keys->size(), 1u);
  EXPECT_EQ((*ns_keys)[0].key, "n\0k"s);
  auto s = rebuild_sparse_index(*db);
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(s->posting_entries, 1u);
  EXPECT_EQ(text::SparseIndexState::read(*engine->backend).value()->posting_entries, 1u);
  ASSERT_TRUE(db->close().ok());
  auto closed = rebuild_derived_index(*db);
  ASSERT_FALSE(closed.ok());
  EXPECT_EQ(closed.error().kind(), ZolvaErrorKind::kNotInitialized);
}

}  // namespace
}  // namespace zv
