#include "src/record/engine_node.h"

#include <gtest/gtest.h>

namespace zv {
namespace {

TEST(EngineNodeTest, NewNodeAndEdges) {
  EngineNode n = EngineNode::create(3);
  EXPECT_TRUE(n.is_live());
  EXPECT_EQ(n.tier, Tier::kCold);
  EXPECT_EQ(n.confidence_score, 0.5f);
  EXPECT_EQ(n.importance, 0.1f);
  EXPECT_GT(n.last_accessed, 0u);
  EXPECT_EQ(n.flags, kNodeFlagAlive);
  EXPECT_TRUE(n.vector.is_none());
  EXPECT_TRUE(n.fields.empty() && n.edges.empty() && n.label_index.empty() &&
              n.byte_fields.empty() && n.bitset.empty());
  EXPECT_EQ(n.aux_u32 + n.epoch + n.hits, 0u);

  n.add_edge(7, 2, 0.5f);
  n.add_edge(7, 2, 0.5f);
  n.add_edge_default_weight(8, 1);
  ASSERT_EQ(n.edges.size(), 3u);
  EXPECT_FALSE(n.edges[0].direction);
  EXPECT_EQ(n.edges[1].weight, 0.5f);
  EXPECT_EQ(n.edges[2].weight, 1.0f);
  EXPECT_EQ(n.label_index.at(2), (std::vector<NodeId>{7, 7}));
  EXPECT_EQ(n.flags, kNodeFlagAlive | kNodeFlagEdgesChanged);

  n.set_field("a", FieldValue::integer(1));
  n.set_field("a", FieldValue::integer(2));
  EXPECT_EQ(*n.get_field("a"), FieldValue::integer(2));
  EXPECT_EQ(n.get_field("b"), nullptr);

  for (uint32_t flags : {0x09u, 0x00u, 0x08u}) {
    n.flags = flags;
    EXPECT_FALSE(n.is_live()) << flags;
  }
}

TEST(EngineNodeTest, LabelInterning) {
  EdgeLabelTable t;
  EXPECT_EQ(t.intern("a"), 0u);
  EXPECT_EQ(t.intern("b"), 1u);
  EXPECT_EQ(t.intern("a"), 0u);
  EXPECT_EQ(t.intern(""), 2u);
  EXPECT_EQ(t.intern("A"), 3u);
  EXPECT_EQ(t.name(1), "b");
  EXPECT_EQ(t.name(4), "<unknown>");
  EXPECT_EQ(t.find("zz"), std::nullopt);
}

}  // namespace
}  // namespace zv
