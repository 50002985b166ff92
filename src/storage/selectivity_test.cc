#include <gtest/gtest.h>

#include <string>

#include "src/storage/field_stats.h"
#include "src/storage/testing/engine_fixture.h"

namespace zv {
namespace {

// An engine whose index holds `indexed` nodes and whose statistics hold
// what `fill` counts.
struct Estimator {
  std::shared_ptr<StorageEngine> engine = testing::memory_engine();

  explicit Estimator(uint64_t indexed) {
    for (uint64_t i = 1; i <= indexed; ++i) {
      auto r = engine->vector_index()->add(i, FilterBitset(),
                                           VectorRepr::f32({float(i % 7), 1.0f}), 0);
      EXPECT_TRUE(r.ok());
    }
  }
  void count(const std::string& field, const FieldValue& v, uint64_t times) {
    EngineNode n = EngineNode::create(1);
    n.set_field(field, v);
    std::unique_lock lock(engine->field_stats.mu);
    for (uint64_t i = 0; i < times; ++i) engine->field_stats.value.count_node(n);
  }
  float operator()(const std::string& field, FilterOp op, const FieldValue& v) const {
    return FieldStats::selectivity(*engine, field, op, v);
  }
};

const FieldValue kA = FieldValue::string("a");
const FieldValue kUnseen = FieldValue::string("zz");

TEST(Selectivity, CountedValueOverIndexSize) {
  Estimator est(1000);
  est.count("f", kA, 250);
  EXPECT_EQ(est("f", FilterOp::kEq, kA), 0.25f);
  EXPECT_EQ(est("f", FilterOp::kNeq, kA), 0.75f);
  for (FilterOp op : {FilterOp::kGt, FilterOp::kLt, FilterOp::kGte, FilterOp::kLte}) {
    EXPECT_EQ(est("f", op, kA), 0.33f);
  }
  // Statistics counting more nodes than the index holds are not clamped.
  est.count("g", kA, 1500);
  EXPECT_EQ(est("g", FilterOp::kEq, kA), 1.5f);
}

TEST(Selectivity, UnseenValueDependsOnDistinctCount) {
  Estimator est(1000);
  for (int i = 0; i < 50; ++i) est.count("fifty", FieldValue::integer(i), 1);
  for (int i = 0; i < 100; ++i) est.count("hundred", FieldValue::integer(i), 1);
  EXPECT_EQ(est("fifty", FilterOp::kEq, kUnseen), 0.0f);
  EXPECT_EQ(est("fifty", FilterOp::kNeq, kUnseen), 1.0f);
  EXPECT_EQ(est("hundred", FilterOp::kEq, kUnseen), 0.001f);
  EXPECT_EQ(est("hundred", FilterOp::kNeq, kUnseen), 1.0f - 0.001f);
  // A field without statistics.
  EXPECT_EQ(est("none", FilterOp::kEq, kA), 0.0f);
  EXPECT_EQ(est("none", FilterOp::kNeq, kA), 1.0f);
  EXPECT_EQ(est("none", FilterOp::kLt, kA), 0.5f);
}

TEST(Selectivity, EmptyIndex) {
  Estimator est(0);
  est.count("f", kA, 3);
  for (FilterOp op : {FilterOp::kEq, FilterOp::kNeq, FilterOp::kGt, FilterOp::kLt,
                      FilterOp::kGte, FilterOp::kLte}) {
    EXPECT_EQ(est("none", op, kA), 1.0f);
  }
  EXPECT_EQ(est("f", FilterOp::kEq, kA), 1.0f);
  EXPECT_EQ(est("f", FilterOp::kNeq, kA), 0.0f);
  EXPECT_EQ(est("f", FilterOp::kEq, kUnseen), 0.0f);
  EXPECT_EQ(est("f", FilterOp::kNeq, kUnseen), 1.0f);
  EXPECT_EQ(est("f", FilterOp::kGte, kA), 0.5f);
}

TEST(Selectivity, LookupText) {
  Estimator est(100);
  est.count("f", FieldValue::string("null"), 10);
  est.count("f", FieldValue::string("x"), 20);
  est.count("f", FieldValue::integer(7), 30);
  EXPECT_EQ(est("f", FilterOp::kEq, FieldValue::null()), 0.1f);
  EXPECT_EQ(est("f", FilterOp::kEq, FieldValue::list_string({})), 0.1f);
  EXPECT_EQ(est("f", FilterOp::kEq, FieldValue::list_string({"x", "null"})), 0.2f);
  EXPECT_EQ(est("f", FilterOp::kEq, FieldValue::list_int({7})), 0.3f);
}

}  // namespace
}  // namespace zv
