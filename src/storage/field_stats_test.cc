#include "src/storage/field_stats.h"

#include <gtest/gtest.h>

#include <string>

namespace zv {
namespace {

EngineNode node_of(NodeId id, FieldMap fields) {
  EngineNode n = EngineNode::create(id);
  n.fields = std::move(fields);
  return n;
}

EngineNode one(const std::string& field, FieldValue v) {
  FieldMap m;
  m.emplace(field, std::move(v));
  return node_of(1, std::move(m));
}

TEST(FieldStats, PerFieldValueLimit) {
  FieldStats s;
  for (int i = 0; i < 99; ++i) s.add_node(one("f", FieldValue::integer(i)));
  EXPECT_EQ(s.field("f")->size(), 99u);
  s.add_node(one("f", FieldValue::integer(99)));  // the 100th value is taken
  EXPECT_EQ(s.field("f")->size(), 100u);
  s.add_node(one("f", FieldValue::integer(100)));  // the 101st is not
  EXPECT_EQ(s.field("f")->size(), 100u);
  EXPECT_EQ(s.field("f")->count("100"), 0u);
  s.add_node(one("f", FieldValue::integer(5)));  // a known one still counts
  EXPECT_EQ(s.field("f")->at("5"), 2u);
  // A list judged text by text against the size at that moment.
  FieldStats l;
  for (int i = 0; i < 99; ++i) l.add_node(one("g", FieldValue::integer(i)));
  l.add_node(one("g", FieldValue::list_string({"x", "y", "x"})));
  EXPECT_EQ(l.field("g")->at("x"), 2u);
  EXPECT_EQ(l.field("g")->count("y"), 0u);
}

TEST(FieldStats, ReplaceNullAndNeverCountedRemovals) {
  FieldStats s;
  s.add_node(one("f", FieldValue::string("a")));
  s.remove_node(one("f", FieldValue::string("a")));
  s.add_node(one("f", FieldValue::string("b")));
  EXPECT_EQ(s.field("f")->count("a"), 0u);
  EXPECT_EQ(s.field("f")->at("b"), 1u);
  EXPECT_EQ(s.total_values(), 1u);

  s.add_node(one("n", FieldValue::null()));
  ASSERT_NE(s.field("n"), nullptr);
  EXPECT_TRUE(s.field("n")->empty());
  s.remove_node(one("n", FieldValue::null()));
  EXPECT_NE(s.field("n"), nullptr);

  // Texts never counted (a full field, an unknown field) change nothing.
  for (int i = 0; i < 100; ++i) s.add_node(one("full", FieldValue::integer(i)));
  const auto before = *s.field("full");
  s.remove_node(one("full", FieldValue::integer(500)));
  s.remove_node(one("other", FieldValue::integer(1)));
  EXPECT_EQ(*s.field("full"), before);
  EXPECT_EQ(s.field("other"), nullptr);
  // Counts never fall below zero.
  s.remove_node(one("f", FieldValue::string("b")));
  s.remove_node(one("f", FieldValue::string("b")));
  EXPECT_TRUE(s.field("f")->empty());
}

TEST(FieldStats, TotalLimitDropsOneSmallestField) {
  FieldStats s;
  // 99 fields of 100 values and one of 100: 10,000 in all, kept.
  for (int f = 0; f < 100; ++f)
    for (int v = 0; v < 100; ++v)
      s.count_node(one("f" + std::to_string(f), FieldValue::integer(v)));
  s.remove_node(one("f7", FieldValue::integer(0)));
  s.add_node(one("f7", FieldValue::integer(0)));
  EXPECT_EQ(s.total_values(), 10000u);
  EXPECT_EQ(s.fields().size(), 100u);
  // Shrink f3 so that it is the smallest, then push the total to 10,001.
  for (int v = 0; v < 10; ++v) s.remove_node(one("f3", FieldValue::integer(v)));
  for (int v = 0; v < 11; ++v) s.count_node(one("new", FieldValue::integer(v)));
  EXPECT_EQ(s.total_values(), 10001u);
  s.trim();
  EXPECT_EQ(s.fields().size(), 100u);
  EXPECT_EQ(s.field("new"), nullptr);  // 11 values, the fewest
  EXPECT_EQ(s.total_values(), 9990u);
  EXPECT_NE(s.field("f3"), nullptr);
}

}  // namespace
}  // namespace zv
