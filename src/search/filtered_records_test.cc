// list_filtered_records over the derived indexes the record fixture keeps.
#include "src/storage/filtered_records.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "src/runtime/operational_counters.h"
#include "src/search/testing/vector_records.h"
#include "src/text/derived_index.h"

namespace zv {
namespace {

using search_testing::fields;
using search_testing::RecordFixture;
using search_testing::vector_record;

std::vector<std::string> keys(const ZolvaResult<std::vector<MemoryRecord>>& r) {
  EXPECT_TRUE(r.ok()) << r.error().message();
  std::vector<std::string> out;
  if (r.ok()) {
    for (const MemoryRecord& m : *r) out.push_back(m.key);
  }
  return out;
}

TEST(ListFilteredRecords, FiltersThroughThePayloadIndex) {
  RecordFixture f;
  auto put = [&](std::string key, FieldMap m, bool expired = false, std::string ns = "ns") {
    MemoryRecord r = vector_record(std::move(ns), std::move(key), std::nullopt, std::move(m));
    if (expired) r.expires_at_ms = 5;
    f.put(std::move(r));
  };
  FieldMap red3 = fields("color", FieldValue::string("red"));
  red3.emplace("size", FieldValue::integer(3));
  FieldMap red4 = fields("color", FieldValue::string("red"));
  red4.emplace("size", FieldValue::integer(4));
  put("c", red3);
  put("a", red3);
  put("b", red4);
  put("d", red3, /*expired=*/true);
  put("e", red3, false, "other");
  put("z", fields("weight", FieldValue::floating(-0.0)));
  EXPECT_EQ(keys(list_filtered_records(f.engine(), "ns", {})),
            (std::vector<std::string>{"a", "b", "c", "z"}));
  EXPECT_EQ(keys(list_filtered_records(f.engine(), "ns", red3)), (std::vector<std::string>{"a", "c"}));
  // 0.0 equals -0.0 although the payload index keys them apart.
  EXPECT_EQ(keys(list_filtered_records(f.engine(), "ns", fields("weight", FieldValue::floating(0.0)))),
            std::vector<std::string>{"z"});
  auto list = list_filtered_records(f.engine(), "ns", fields("color", FieldValue::list_string({"red"})));
  ASSERT_FALSE(list.ok());
  EXPECT_NE(list.error().message().find("Cannot encode list value as scalar index key"),
            std::string::npos);
}

TEST(ListFilteredRecords, ScansOnlyWithoutAState) {
  RecordFixture f;
  f.put(vector_record("ns", "a", std::nullopt, fields("color", FieldValue::string("red"))));
  // Entries gone: with a state record the answer is empty without a scan.
  ASSERT_TRUE(f.engine().backend->del(Partition::kNamespaceIndex, text::namespace_index_key("ns", "a")).ok());
  auto& fallbacks = OperationalCounters::global().derived_full_scan_fallbacks;
  const uint64_t before = fallbacks.read();
  EXPECT_TRUE(keys(list_filtered_records(f.engine(), "ns", {})).empty());
  EXPECT_EQ(fallbacks.read(), before);
  ASSERT_TRUE(f.engine().backend->del(Partition::kInternalMetadata, text::kDerivedIndexStateKey).ok());
  EXPECT_EQ(keys(list_filtered_records(f.engine(), "ns", {})), std::vector<std::string>{"a"});
  EXPECT_EQ(fallbacks.read(), before + 1);
}

}  // namespace
}  // namespace zv
