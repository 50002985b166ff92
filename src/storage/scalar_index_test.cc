#include "src/storage/scalar_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "src/backends/in_memory_backend.h"
#include "src/storage/shred_record.h"

namespace zv {
namespace {

TEST(ScalarIndex, ListsKeepRepeatsAndEmptiedEntriesStay) {
  ScalarIndex idx;
  idx.insert("n", FieldValue::integer(5), 1);
  idx.insert("n", FieldValue::integer(5), 1);
  idx.insert("n", FieldValue::integer(5), 2);
  EXPECT_EQ(idx.lookup("n", FieldValue::integer(5)), (std::vector<NodeId>{1, 1, 2}));
  idx.remove("n", FieldValue::integer(5), 1);
  EXPECT_EQ(idx.lookup("n", FieldValue::integer(5)), (std::vector<NodeId>{2}));
  idx.remove("n", FieldValue::integer(5), 2);
  auto values = idx.field_values("n");
  ASSERT_TRUE(values.has_value());
  ASSERT_EQ(values->size(), 1u);
  EXPECT_TRUE((*values)[0].second.empty());
  idx.remove("absent", FieldValue::integer(5), 2);
  EXPECT_FALSE(idx.has_field("absent"));
}

TEST(ScalarIndex, ValuesOfDifferentVariantsNeverMeetAndNanIsOneKey) {
  ScalarIndex idx;
  idx.insert("n", FieldValue::integer(5), 1);
  idx.insert("n", FieldValue::floating(5.0), 2);
  EXPECT_EQ(idx.lookup("n", FieldValue::integer(5)), (std::vector<NodeId>{1}));
  EXPECT_EQ(idx.lookup("n", FieldValue::floating(5.0)), (std::vector<NodeId>{2}));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  idx.insert("x", FieldValue::floating(nan), 3);
  idx.insert("x", FieldValue::floating(-nan), 4);
  EXPECT_EQ(idx.field_values("x")->size(), 1u);
  idx.remove("x", FieldValue::floating(nan), 3);
  EXPECT_EQ(idx.lookup("x", FieldValue::floating(nan)), (std::vector<NodeId>{4}));
  idx.insert("z", FieldValue::floating(-0.0), 5);
  EXPECT_EQ(idx.lookup("z", FieldValue::floating(0.0)), (std::vector<NodeId>{5}));
  // Whole values are keys: a list is one entry.
  idx.insert("l", FieldValue::list_int({1, 2}), 6);
  EXPECT_EQ(idx.lookup("l", FieldValue::list_int({1, 2})), (std::vector<NodeId>{6}));
  EXPECT_TRUE(idx.lookup("l", FieldValue::integer(1)).empty());
}

// Random adds (with repeats) and removals against a plain vector: the live
// ids keep their order through chaining and compaction, whatever the length.
TEST(PostingList, MatchesAPlainListThroughGrowthAndCompaction) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    std::mt19937 rng(seed);
    PostingList list;
    std::vector<NodeId> model;
    const NodeId span = seed == 1 ? 8 : 400;  // few ids: many repeats
    for (int step = 0; step < 6000; ++step) {
      const NodeId id = 1 + rng() % span;
      // Grow, then shrink to nothing, then grow again.
      const bool add = (step / 2000) % 2 == 0 ? rng() % 4 != 0 : rng() % 4 == 0;
      if (add) {
        list.add(id);
        model.push_back(id);
      } else {
        list.remove(id);
        std::erase(model, id);
      }
      ASSERT_EQ(list.size(), model.size()) << seed << " " << step;
      if (step % 97 == 0) {
        ASSERT_EQ(list.ids(), model) << seed << " " << step;
      }
    }
    EXPECT_EQ(list.ids(), model);
    EXPECT_EQ(list.empty(), model.empty());
  }
}

// The per-node entries come along when a rebuilt index is swapped in, so a
// node removal afterwards still finds every list that names the node.
TEST(ScalarIndex, ReplacedIndexKeepsItsPerNodeEntries) {
  ScalarIndex live;
  live.insert("old", FieldValue::integer(1), 9);
  ScalarIndex fresh;
  for (NodeId id = 1; id <= 40; ++id) {
    fresh.insert("k", FieldValue::string("shared"), id);
    fresh.insert("n", FieldValue::integer(static_cast<int64_t>(id)), id);
  }
  live.replace_with(std::move(fresh));
  EXPECT_FALSE(live.has_field("old"));
  live.remove_node(7);
  auto shared = live.lookup("k", FieldValue::string("shared"));
  EXPECT_EQ(shared.size(), 39u);
  EXPECT_EQ(std::count(shared.begin(), shared.end(), NodeId{7}), 0);
  EXPECT_TRUE(live.lookup("n", FieldValue::integer(7)).empty());
  EXPECT_EQ(live.field_values("n")->size(), 39u);  // the emptied list is dropped
  live.remove_node(9);  // listed before the swap only: nothing to do
}

TEST(ShredRecord, GoldenValueAndUnsupportedKinds) {
  FieldMap m;
  m.emplace("a", FieldValue::integer(1));
  m.emplace("b", FieldValue::string("x"));
  const std::string v = shred_record::encode(m);
  const std::string golden("\x01\0\0\0a\0\x01\0\0\0\0\0\0\0\x01\0\0\0b\x03\x01\0\0\0x", 25);
  EXPECT_EQ(v, golden);
  auto back = shred_record::decode(v);
  ASSERT_TRUE(back.has_value());
  ASSERT_EQ(back->size(), 2u);
  EXPECT_EQ(std::get<int64_t>((*back)[0].second.v), 1);
  EXPECT_EQ(std::get<std::string>((*back)[1].second.v), "x");
  EXPECT_EQ(shred_record::key(42), "shred::42");

  InMemoryBackend backend;
  FieldMap none;
  none.emplace("d", FieldValue::date_time(DateTime{}));
  none.emplace("l", FieldValue::list_int({1}));
  EXPECT_EQ(shred_record::encode(none), "");
  ASSERT_TRUE(shred_record::put(7, none, backend).ok());
  EXPECT_FALSE(backend.get(Partition::kInternalMetadata, "shred::7")->has_value());
  ASSERT_TRUE(shred_record::put(7, m, backend).ok());
  EXPECT_EQ(**backend.get(Partition::kInternalMetadata, "shred::7"), golden);
  ASSERT_TRUE(shred_record::del(7, backend).ok());
  EXPECT_FALSE(backend.get(Partition::kInternalMetadata, "shred::7")->has_value());
  // Truncated or hostile values do not decode.
  for (size_t cut = 1; cut < golden.size(); ++cut)
    if (cut != 14) {
      EXPECT_FALSE(shred_record::decode(golden.substr(0, cut)).has_value()) << cut;
    }
  EXPECT_FALSE(shred_record::decode(std::string("\xFF\xFF\xFF\xFF", 4)).has_value());
}

TEST(ShredRecord, MatchesTable) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  auto s = [](std::string x) { return ShredValue{std::move(x)}; };
  struct Case {
    ShredValue stored;
    FilterOp op;
    FieldValue filter;
    bool want;
  } cases[] = {
      {s("b"), FilterOp::kGt, FieldValue::string("a"), false},
      {s("a"), FilterOp::kEq, FieldValue::string("a"), true},
      {s("a"), FilterOp::kNeq, FieldValue::string("b"), true},
      {{int64_t{3}}, FilterOp::kLte, FieldValue::integer(3), true},
      {{int64_t{3}}, FilterOp::kLt, FieldValue::integer(3), false},
      {{int64_t{-1}}, FilterOp::kGt, FieldValue::integer(-2), true},
      {{int64_t{3}}, FilterOp::kEq, FieldValue::floating(3.0), false},
      {{3.0}, FilterOp::kEq, FieldValue::integer(3), false},
      {{3.0}, FilterOp::kGte, FieldValue::floating(3.0), true},
      {{nan}, FilterOp::kEq, FieldValue::floating(nan), false},
      {{nan}, FilterOp::kNeq, FieldValue::floating(nan), true},
      {{1.0}, FilterOp::kLt, FieldValue::floating(nan), false},
      {{1.0}, FilterOp::kNeq, FieldValue::floating(nan), true},
      {{true}, FilterOp::kEq, FieldValue::boolean(true), true},
      {{true}, FilterOp::kGt, FieldValue::boolean(false), false},
      {{true}, FilterOp::kNeq, FieldValue::integer(1), false},
      {s("1"), FilterOp::kEq, FieldValue::integer(1), false},
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(ShredValue::matches(cases[i].stored, cases[i].op, cases[i].filter), cases[i].want)
        << i;
}

}  // namespace
}  // namespace zv
