// The leveled strategy's decision, one case per rule, over versions of small
// real tables with targets scaled down to bytes.
#include <gtest/gtest.h>

#include "platform/testing/temp_dir.h"
#include "tervik/compaction/leveled.h"
#include "tervik/compaction/testing/strategy_tables.h"
#include "tervik/version/testing/version_builders.h"

namespace tervik::compaction {
namespace {

using tervik::testing::IdRuns;

struct TableSpec {
  uint64_t id;
  std::string min;
  std::string max;
  size_t value_len = 1;
};

LeveledOptions opts(uint8_t threshold, uint64_t target, std::vector<float> ratios) {
  LeveledOptions o;
  o.l0_threshold = threshold;
  o.target_size = target;
  o.level_ratio_policy = std::move(ratios);
  return o;
}

Input in(TableIdSet ids, uint8_t dest, uint8_t canonical, uint64_t target) {
  return Input{std::move(ids), dest, canonical, target};
}

class LeveledChooseTest : public ::testing::Test {
 protected:
  // A version of freshly written tables in a folder of its own.
  Version build(const std::string& name, const std::vector<TableSpec>& specs,
                const std::vector<IdRuns>& levels) {
    tervik::testing::StrategyTables maker(zv::fs::join(dir_.path(), name));
    std::vector<Table> tables;
    for (const TableSpec& s : specs) tables.push_back(maker.make(s.id, s.min, s.max, s.value_len));
    return tervik::testing::version_of(1, levels, tables);
  }

  Choice choose(const Version& v, const LeveledOptions& o, const HiddenTableSet& hidden = {}) {
    return Leveled(o).choose(v, config_, hidden);
  }

  static uint64_t size_of(const Version& v, uint64_t id) { return table_file_size(*v.find_table(id)); }

  zv::testing::TempDir dir_;
  TreeConfig config_ = TreeConfig::create(dir_.path(), SeqNoCounter(0), SeqNoCounter(0));
};

// Large targets: no level is ever over. Tiny: level 1 (canonical) is over
// as soon as it holds a byte, deeper levels never are.
const LeveledOptions kLarge = opts(4, 1ull << 30, {10.0f});
const LeveledOptions kTiny = opts(1, 1, {1e6f});
// Targets of 100 bytes at level 1 (merge windows end above 5,000 bytes).
const LeveledOptions kSmall = opts(1, 100, {1e6f});

TEST_F(LeveledChooseTest, Rules) {
  // Level 1 of five tables over a next run, for the trivial window cases.
  const std::vector<TableSpec> five = {{10, "b0", "b1"}, {11, "c0", "c1"}, {12, "d0", "d1"},
                                       {13, "e0", "e1"}, {14, "f0", "f1"}};
  auto with = [](std::vector<TableSpec> a, const std::vector<TableSpec>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  // Level 1 tables each inside exactly one table of level 2, for the merge
  // search; value lengths of level 2 (tables 20, 21, 22) vary per case.
  auto merge_tables = [](size_t v20, size_t v21, size_t v22) {
    return std::vector<TableSpec>{{10, "b1", "b2"}, {11, "f1", "f2"}, {12, "j1", "j2"},
                                  {20, "a0", "c0", v20}, {21, "e0", "g0", v21},
                                  {22, "i0", "k0", v22}};
  };
  const std::vector<IdRuns> merge_levels = {{}, {{10, 11, 12}}, {{20, 21, 22}}};

  struct Case {
    const char* name;
    std::vector<TableSpec> tables;
    std::vector<IdRuns> levels;
    HiddenTableSet hidden;
    LeveledOptions options;
    Choice expected;
  };
  const uint64_t L = kLarge.target_size;
  const Case cases[] = {
      {"no tables", {}, {}, {}, kLarge, DoNothing{}},
      {"first flush goes to the last level as canonical 1",
       {{1, "b", "c"}, {2, "d", "e"}}, {{{1, 2}}}, {}, kLarge, Move{in({1, 2}, 6, 1, L)}},
      {"direct move: last level wholly below",
       {{1, "m", "n"}, {2, "a", "b"}}, {{{1}}, {}, {}, {}, {}, {}, {{2}}}, {}, kLarge,
       Move{in({1}, 6, 1, L)}},
      {"direct move: last level wholly above",
       {{1, "m", "n"}, {2, "x", "y"}}, {{{1}}, {}, {}, {}, {}, {}, {{2}}}, {}, kLarge,
       Move{in({1}, 6, 1, L)}},
      {"touching the last level is an overlap",
       {{1, "m", "n"}, {2, "a", "m"}}, {{{1}}, {}, {}, {}, {}, {}, {{2}}}, {}, kLarge, DoNothing{}},
      {"direct move ignores hidden tables",
       {{1, "b", "c"}, {2, "d", "e"}}, {{{1, 2}}}, {1, 2}, kLarge, Move{in({1, 2}, 6, 1, L)}},
      {"direct move needs a single level-0 run",
       {{1, "b", "c"}, {2, "b", "e"}}, {{{1}, {2}}}, {}, kLarge, DoNothing{}},
      {"every filled level over: the empty level above becomes canonical 1",
       {{1, "m", "n"}, {2, "a", "m"}}, {{{1}}, {}, {}, {}, {}, {}, {{2}}}, {}, kTiny,
       Move{in({1}, 5, 1, 1)}},
      {"shifted canonical 1 takes two level-0 runs as a merge",
       {{1, "m", "n"}, {3, "m", "o"}, {2, "a", "m"}}, {{{1}, {3}}, {}, {}, {}, {}, {}, {{2}}}, {},
       kTiny, Merge{in({1, 3}, 5, 1, 1)}},
      {"no shift while a filled level is within its target; trivial move into canonical 1",
       {{1, "m", "n"}, {4, "a", "b"}, {2, "a", "m"}}, {{{1}}, {}, {}, {}, {}, {{4}}, {{2}}}, {},
       kTiny, Move{in({1}, 5, 1, 1)}},
      {"trivial move into level 1 of one run",
       {{1, "m", "n"}, {4, "x", "y"}}, {{{1}}, {{4}}}, {}, kLarge, Move{in({1}, 1, 1, L)}},
      {"no trivial move onto a hidden level-1 table, and nothing else is due",
       {{1, "m", "n"}, {4, "x", "y"}}, {{{1}}, {{4}}}, {4}, kLarge, DoNothing{}},
      {"level-0 count exactly at the threshold scores 1.0",
       {{1, "m", "n"}, {4, "a", "m"}}, {{{1}}, {{4}}}, {}, opts(1, 1ull << 30, {10.0f}),
       Merge{in({1, 4}, 1, 1, 1ull << 30)}},
      {"level-0 count below the threshold",
       {{1, "m", "n"}, {4, "a", "m"}}, {{{1}}, {{4}}}, {}, opts(2, 1ull << 30, {10.0f}),
       DoNothing{}},
      {"hidden level-0 table: no level-0 compaction",
       {{1, "m", "n"}, {4, "a", "m"}}, {{{1}}, {{4}}}, {1}, opts(1, 1ull << 30, {10.0f}),
       DoNothing{}},
      {"hidden canonical level-1 table: no level-0 compaction",
       {{1, "m", "n"}, {4, "a", "m"}, {5, "x", "y"}}, {{{1}}, {{4, 5}}}, {5},
       opts(1, 1ull << 30, {10.0f}), DoNothing{}},
      {"level 0 moves when it overlaps no run of a two-run level 1",
       {{1, "m", "n"}, {4, "a", "b"}, {5, "a", "c"}}, {{{1}}, {{4}, {5}}}, {},
       opts(1, 1ull << 30, {10.0f}), Move{in({1}, 1, 1, 1ull << 30)}},
      {"level 0 merges with the overlapped tables of every level-1 run",
       {{1, "m", "n"}, {4, "a", "m"}, {5, "n", "z"}, {6, "a", "b"}},
       {{{1}}, {{4}, {6, 5}}}, {}, opts(1, 1ull << 30, {10.0f}),
       Merge{in({1, 4, 5}, 1, 1, 1ull << 30)}},
      {"over a level with no runs below scores 99.99 and beats level 0",
       {{1, "m", "n"}, {2, "m", "n"}, {3, "m", "n"}, {4, "a", "b"}},
       {{{1}, {2}, {3}}, {{4}}}, {}, kTiny, Move{in({4}, 2, 2, 1)}},
      {"trivial window: largest first, then leftmost",
       with(five, {{20, "d0", "d1"}}), {{}, {{10, 11, 12, 13, 14}}, {{20}}}, {}, kTiny,
       Move{in({10, 11}, 2, 2, 1)}},
      {"trivial window: hidden tables skipped",
       with(five, {{20, "d0", "d1"}}), {{}, {{10, 11, 12, 13, 14}}, {{20}}}, {10}, kTiny,
       Move{in({13, 14}, 2, 2, 1)}},
      {"trivial window: a next table in a gap splits the run",
       with(five, {{20, "c5", "c6"}}), {{}, {{10, 11, 12, 13, 14}}, {{20}}}, {}, kTiny,
       Move{in({12, 13, 14}, 2, 2, 1)}},
      {"trivial window: whole run without a next level",
       five, {{}, {{10, 11, 12, 13, 14}}}, {}, kTiny, Move{in({10, 11, 12, 13, 14}, 2, 2, 1)}},
      {"trivial window out of a level of two runs is a merge",
       with(five, {{15, "b0", "c0"}, {20, "x", "y"}}), {{}, {{10, 11}, {15}}, {{20}}}, {}, kTiny,
       Merge{in({10, 11}, 2, 2, 1)}},
      {"merge search: the lowest total", merge_tables(500, 1, 100), merge_levels, {}, kSmall,
       Merge{in({11, 21}, 2, 2, 100)}},
      {"merge search: the first of equal totals", merge_tables(1, 1, 1), merge_levels, {}, kSmall,
       Merge{in({10, 20}, 2, 2, 100)}},
      {"merge search: hidden window table", merge_tables(500, 1, 100), merge_levels, {21}, kSmall,
       Merge{in({12, 22}, 2, 2, 100)}},
      {"merge search: hidden pull-in table", merge_tables(500, 1, 100), merge_levels, {11}, kSmall,
       Merge{in({12, 22}, 2, 2, 100)}},
      {"merge search: ends at the first window over 50 targets",
       merge_tables(100, 6000, 1), merge_levels, {}, kSmall, Merge{in({10, 20}, 2, 2, 100)}},
      {"merge search: a window over 50 targets first ends it with nothing",
       merge_tables(6000, 1, 1), merge_levels, {}, kSmall, DoNothing{}},
      {"merge search: nothing contained",
       {{10, "b", "d"}, {20, "a", "c"}}, {{}, {{10}}, {{20}}}, {}, kTiny, DoNothing{}},
      {"threshold 0 on an empty tree", {}, {}, {}, opts(0, 1, {10.0f}), DoNothing{}},
      {"threshold 0 with an empty level 0 gives way to level 1",
       {{4, "b", "c"}, {5, "x", "y"}}, {{}, {{4}}, {{5}}}, {}, opts(0, 1, {10.0f}),
       Move{in({4}, 2, 2, 1)}},
  };
  int index = 0;
  for (const Case& c : cases) {
    const Version v = build("case" + std::to_string(index++), c.tables, c.levels);
    const Choice got = choose(v, c.options, c.hidden);
    EXPECT_EQ(got, c.expected) << c.name << ": got " << debug_string(got) << ", expected "
                               << debug_string(c.expected);
  }
}

TEST_F(LeveledChooseTest, LevelExactlyAtItsTargetScoresZero) {
  const Version v = build("t", {{4, "a", "b"}, {5, "x", "y"}}, {{}, {{4}}, {{5}}});
  const uint64_t s = size_of(v, 4);
  EXPECT_EQ(choose(v, opts(1, s, {1e6f})), Choice{DoNothing{}});
  EXPECT_EQ(choose(v, opts(1, s - 1, {1e6f})), Choice{Move{in({4}, 2, 2, s - 1)}});
}

TEST_F(LeveledChooseTest, EqualScoresGoToTheDeeperLevel) {
  const Version v = build("t", {{4, "b0", "c0"}, {5, "d0", "e0"}, {6, "x", "y"}},
                          {{}, {{4}}, {{5}}, {{6}}});
  const uint64_t s = size_of(v, 4);
  ASSERT_EQ(size_of(v, 5), s);
  // Levels 1 and 2 share one target (ratio 1), level 3 is never over.
  EXPECT_EQ(choose(v, opts(1, s / 2, {1.0f, 1e6f})), Choice{Move{in({5}, 3, 3, s / 2)}});
}

TEST_F(LeveledChooseTest, LevelZeroOnlyWhenStrictlyHighest) {
  // Level 1 scores 2.0: two tables of size s against a target of s.
  const std::vector<TableSpec> tables = {{1, "m", "n"}, {2, "m", "n"}, {3, "m", "n"},
                                         {4, "b0", "c0"}, {5, "d0", "e0"}, {6, "x", "y"}};
  const Version two = build("two", tables, {{{1}, {2}}, {{4, 5}}, {{6}}});
  const uint64_t s = size_of(two, 4);
  ASSERT_EQ(size_of(two, 5), s);
  EXPECT_EQ(choose(two, opts(1, s, {1e6f})), Choice{Move{in({4, 5}, 2, 2, s)}});
  const Version three = build("three", tables, {{{1}, {2}, {3}}, {{4, 5}}, {{6}}});
  EXPECT_EQ(choose(three, opts(1, s, {1e6f})), Choice{Merge{in({1, 2, 3}, 1, 1, s)}});
}

TEST_F(LeveledChooseTest, LevelSizeLeavesHiddenTablesOut) {
  // Level 1 is over its target only with its hidden table counted.
  const Version v = build("t", {{4, "b0", "c0"}, {5, "d0", "e0"}, {6, "x", "y"}},
                          {{}, {{4, 5}}, {{6}}});
  const uint64_t s = size_of(v, 4);
  EXPECT_EQ(choose(v, opts(1, s, {1e6f})), Choice{Move{in({4, 5}, 2, 2, s)}});
  EXPECT_EQ(choose(v, opts(1, s, {1e6f}), {4}), Choice{DoNothing{}});
}

}  // namespace
}  // namespace tervik::compaction
