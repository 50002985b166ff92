#include "tervik/tree/tree_iter.h"

#include <gtest/gtest.h>

#include "tervik/tree/testing/bounds.h"

#include <limits>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "tervik/block/block.h"
#include "tervik/table/table_inner.h"
#include "tervik/tree/testing/run_builder.h"
#include "tervik/tree/testing/tree_fixture.h"

namespace tervik {
namespace {

using testing::value_entry;
using Keys = std::vector<std::string>;

using testing::all;
using testing::exc;
using testing::inc;

// "key@seqno" per entry, "<error>" for an error, until the end.
Keys drain(TreeIter it, bool back = false) {
  Keys out;
  while (ReadItem item = back ? it.next_back() : it.next()) {
    out.push_back(item->ok() ? std::string((*item)->key.user_key.view()) + "@" +
                                   std::to_string((*item)->key.seqno)
                             : "<error>");
  }
  return out;
}

Keys scan(const Tree& t, Bound lo, Bound hi, SeqNo seqno, bool back = false) {
  return drain(TreeIter::create_range(t.latest_super_version(), KeyRange{lo, hi}, seqno), back);
}

class TreeIterTest : public ::testing::Test {
 protected:
  testing::TreeDir dir_;
  Tree tree_ = dir_.open();
};

// One source of each kind, each holding its own keys: a run of three tables,
// a single-table run, a sealed memtable and the active memtable.
TEST_F(TreeIterTest, EveryKindOfSourceTakesPartUnbounded) {
  testing::add_run(tree_, {{value_entry("a", "1", 1)}, {value_entry("c", "1", 1)}, {value_entry("e", "1", 1)}});
  testing::add_run(tree_, {{value_entry("b", "1", 2), value_entry("d", "1", 2)}});
  ASSERT_EQ(tree_.l0_run_count(), 2u);
  testing::put(tree_, "f", "1", 3);
  ASSERT_TRUE(tree_.rotate_memtable());
  testing::put(tree_, "g", "1", 4);
  const Keys expect = {"a@1", "b@2", "c@1", "d@2", "e@1", "f@3", "g@4"};
  EXPECT_EQ(scan(tree_, all(), all(), 5), expect);
  EXPECT_EQ(scan(tree_, all(), all(), 5, true), Keys(expect.rbegin(), expect.rend()));
}

TEST_F(TreeIterTest, BoundsAtTheEndsOfASingleTableRun) {
  testing::add_run(tree_, {{value_entry("d", "1", 1), value_entry("e", "1", 1), value_entry("f", "1", 1)}});
  struct Case {
    Bound lo, hi;
    Keys keys;
  };
  const std::vector<Case> cases = {
      {inc("f"), all(), {"f@1"}},       {exc("f"), all(), {}},
      {all(), inc("d"), {"d@1"}},       {all(), exc("d"), {}},
      {exc("d"), exc("f"), {"e@1"}},    {inc("d"), inc("f"), {"d@1", "e@1", "f@1"}},
      {inc("da"), inc("ez"), {"e@1"}},  {inc("g"), all(), {}},
      {inc(""), exc("e"), {"d@1"}},     {inc("f"), exc("f"), {}},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    EXPECT_EQ(scan(tree_, cases[i].lo, cases[i].hi, 2), cases[i].keys);
    EXPECT_EQ(scan(tree_, cases[i].lo, cases[i].hi, 2, true),
              Keys(cases[i].keys.rbegin(), cases[i].keys.rend()));
  }
}

TEST_F(TreeIterTest, SnapshotVisibility) {
  for (bool in_table : {false, true}) {
    SCOPED_TRACE(in_table ? "table" : "memtable");
    testing::TreeDir dir;
    Tree t = dir.open();
    if (in_table) {
      testing::add_run(t, {{value_entry("k", "v", 12)}});
    } else {
      testing::put(t, "k", "v", 12);
    }
    EXPECT_EQ(scan(t, all(), all(), 12), Keys{});
    EXPECT_EQ(scan(t, all(), all(), 13), Keys{"k@12"});
    EXPECT_EQ(drain(TreeIter::create_prefix(t.latest_super_version(), "")), Keys{"k@12"});
  }
}

TEST_F(TreeIterTest, ATombstoneInTheMemtableHidesTheTableValue) {
  testing::add_run(tree_, {{value_entry("k", "v", 5)}});
  tree_.remove("k", 9);
  EXPECT_EQ(scan(tree_, all(), all(), 10), Keys{});
  EXPECT_EQ(scan(tree_, all(), all(), 10, true), Keys{});
  EXPECT_EQ(scan(tree_, all(), all(), 9), Keys{"k@5"});
  EXPECT_EQ(scan(tree_, all(), all(), 9, true), Keys{"k@5"});
  EXPECT_EQ(drain(TreeIter::create_prefix(tree_.latest_super_version(), "k")), Keys{});
}

TEST_F(TreeIterTest, PrefixScanRunsFromTheStartBytesToTheEnd) {
  testing::add_run(tree_, {{value_entry("aa", "1", 1), value_entry("abc", "1", 1)}});
  testing::put(tree_, "ab", "1", 2);
  testing::put(tree_, "b", "1", 3);
  const SuperVersion sv = tree_.latest_super_version();
  EXPECT_EQ(drain(TreeIter::create_prefix(sv, "ab")), (Keys{"ab@2", "abc@1", "b@3"}));
  EXPECT_EQ(drain(TreeIter::create_prefix(sv, "")), (Keys{"aa@1", "ab@2", "abc@1", "b@3"}));
  EXPECT_EQ(drain(TreeIter::create_prefix(sv, "ab"), true), (Keys{"b@3", "abc@1", "ab@2"}));
  // Later writes are seen: the prefix scan reads every version there is.
  testing::put(tree_, "ab", "2", 1000);
  EXPECT_EQ(drain(TreeIter::create_prefix(tree_.latest_super_version(), "ab")),
            (Keys{"ab@1000", "abc@1", "b@3"}));
}

TEST_F(TreeIterTest, BoundsAtAKeyWithSeveralVersionsInTheMemtable) {
  testing::put(tree_, "k", "old", 1);
  testing::put(tree_, "k", "new", 3);
  testing::put(tree_, "j", "x", 2);
  testing::put(tree_, "l", "x", 2);
  EXPECT_EQ(scan(tree_, exc("k"), all(), 10), Keys{"l@2"});
  EXPECT_EQ(scan(tree_, all(), exc("k"), 10), Keys{"j@2"});
  EXPECT_EQ(scan(tree_, all(), inc("k"), 10), (Keys{"j@2", "k@3"}));
  EXPECT_EQ(scan(tree_, all(), inc("k"), 10, true), (Keys{"k@3", "j@2"}));
  EXPECT_EQ(scan(tree_, inc("k"), inc("k"), 3), Keys{"k@1"});
}

TEST_F(TreeIterTest, KvIterReadsBackwards) {
  testing::put(tree_, "b", "2", 2);
  testing::add_run(tree_, {{value_entry("a", "1", 1), value_entry("c", "3", 1)}});
  KvIter it = tree_.iter(10);
  std::vector<std::string> got;
  while (KvItem item = it.next_back()) {
    ASSERT_TRUE(item->ok());
    got.push_back(std::string((*item)->first.view()) + "=" + std::string((*item)->second.view()));
  }
  EXPECT_EQ(got, (std::vector<std::string>{"c=3", "b=2", "a=1"}));
  // Tree::iter reads the super version its snapshot sees.
  KvIter early = tree_.iter(1);
  EXPECT_FALSE(early.next().has_value());
}

// The second table of a run has a damaged data block: the scan's next item
// is that error, from either end.
TEST_F(TreeIterTest, ADamagedBlockInARunIsTheScansNextItem) {
  std::vector<Table> tables = testing::add_run(
      tree_, {{value_entry("a", "1", 1)}, {value_entry("b", "1", 1)}, {value_entry("c", "1", 1)}});
  ASSERT_EQ(tables.size(), 3u);
  {
    auto idx = tables[1].inner()->block_index.iter();
    auto first = idx->next();
    ASSERT_TRUE(first.ok() && first->has_value());
    const std::string path = tables[1].path();
    auto bytes = *zv::fs::read_file(path);
    bytes[(*first)->handle.offset + kBlockHeaderSize + 1] ^= 0x40;
    ASSERT_TRUE(zv::fs::write_file(path, bytes).ok());
  }
  // The merge hands the error on in place of the entry it was about to
  // yield, so the error comes first from either end.
  for (bool back : {false, true}) {
    TreeIter it = TreeIter::create_range(tree_.latest_super_version(), KeyRange::all(), 10);
    ReadItem item = back ? it.next_back() : it.next();
    ASSERT_TRUE(item.has_value());
    ASSERT_FALSE(item->ok()) << back;
    EXPECT_EQ(item->error().kind(), TervikErrorKind::kChecksumMismatch);
  }
}

TEST(OverlapsWithBounds, TableKeyRangeAgainstScanBounds) {
  const KeyBounds df{Slice(std::string_view("d")), Slice(std::string_view("f"))};
  struct Case {
    Bound lo, hi;
    bool overlaps;
  };
  const std::vector<Case> cases = {
      {all(), all(), true},      {inc("f"), all(), true},   {exc("f"), all(), false},
      {inc("g"), all(), false},  {exc("e"), all(), true},   {all(), inc("d"), true},
      {all(), exc("d"), false},  {all(), inc("c"), false},  {all(), exc("e"), true},
      {inc("a"), inc("z"), true}, {inc("e"), inc("e"), true}, {inc(""), exc("d"), false},
      {inc("ca"), exc("cz"), false}, {exc("da"), inc("dz"), true},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(overlaps_with_bounds(df, KeyRange{cases[i].lo, cases[i].hi}), cases[i].overlaps) << "case " << i;
  }
}

// A bound longer than any key is compared as bytes: the scan is right and
// never panics.
TEST_F(TreeIterTest, ABoundOfSeventyThousandBytes) {
  testing::put(tree_, "k", "1", 1);
  testing::put(tree_, "l", "1", 1);
  testing::add_run(tree_, {{value_entry("k", "0", 0), value_entry("m", "0", 0)}});
  const std::string big = "k" + std::string(70000, '\xff');
  EXPECT_EQ(scan(tree_, inc(big), all(), 5), (Keys{"l@1", "m@0"}));
  EXPECT_EQ(scan(tree_, all(), exc(big), 5), (Keys{"k@1"}));
  EXPECT_EQ(scan(tree_, all(), exc(big), 5, true), (Keys{"k@1"}));
  EXPECT_EQ(drain(TreeIter::create_prefix(tree_.latest_super_version(), big)), (Keys{"l@1", "m@0"}));
  EXPECT_EQ(scan(tree_, inc(big), inc(big), 5), Keys{});
}

}  // namespace
}  // namespace tervik
