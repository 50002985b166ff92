#include <gtest/gtest.h>

#include "platform/testing/temp_dir.h"
#include "tervik/version/level.h"
#include "tervik/version/run.h"
#include "tervik/version/testing/version_fixture.h"

namespace tervik {
namespace {

class RunQueryTest : public ::testing::Test {
 protected:
  zv::testing::TempDir dir_;
  testing::TreeFolder tree_{dir_.path()};
};

TEST_F(RunQueryTest, RangeOverlapIndexes) {
  const tervik::Run run({tree_.table(1, "a", "c"), tree_.table(2, "e", "g"), tree_.table(3, "i", "k")});
  struct Case {
    const char* low;
    const char* high;
    std::optional<std::pair<size_t, size_t>> want;
  };
  const Case cases[] = {
      {"d", "h", std::make_pair(1, 1)},  {"c", "i", std::make_pair(0, 2)},
      {"l", "z", std::nullopt},          {"0", "9", std::nullopt},
      {"k", "k", std::make_pair(2, 2)},  // touching the largest key
      {"g", "g", std::make_pair(1, 1)},  {"a", "a", std::make_pair(0, 0)},
      {"cc", "dd", std::nullopt},        // between two tables
  };
  for (const Case& c : cases) {
    EXPECT_EQ(run.range_overlap_indexes(Slice(std::string_view(c.low)), Slice(std::string_view(c.high))),
              c.want)
        << c.low << ".." << c.high;
  }
}

TEST_F(RunQueryTest, WindowCandidate) {
  const tervik::Run window_run({tree_.table(10, "b", "c"), tree_.table(11, "g", "h")});
  const tervik::Run other({tree_.table(1, "a", "c"), tree_.table(2, "d", "e"), tree_.table(3, "f", "g"),
                   tree_.table(4, "h", "j")});
  const std::span<const Table> window(window_run.tables());

  auto c = tervik::Run::window_candidate({}, other, window);
  ASSERT_TRUE(c.has_value());
  std::vector<uint64_t> contained;
  for (const Table& t : c->contained) contained.push_back(t.id());
  EXPECT_EQ(contained, (std::vector<uint64_t>{2, 3}));
  const uint64_t wbytes = window_run[0].meta().file_size + window_run[1].meta().file_size;
  const uint64_t cbytes = other[1].meta().file_size + other[2].meta().file_size;
  EXPECT_EQ(c->total_bytes, wbytes + cbytes);
  EXPECT_FLOAT_EQ(c->ratio, static_cast<float>(wbytes) / static_cast<float>(cbytes));

  struct Hidden {
    const char* name;
    HiddenTableSet hidden;
    bool found;
  };
  const Hidden cases[] = {
      {"hidden window table", {11}, false},
      {"hidden contained table", {3}, false},
      {"hidden partly overlapping table does not matter", {1, 4}, true},
  };
  for (const Hidden& h : cases) {
    EXPECT_EQ(tervik::Run::window_candidate(h.hidden, other, window).has_value(), h.found) << h.name;
  }
  // A window overlapping tables only partly contains nothing.
  const tervik::Run narrow({tree_.table(12, "b", "d")});
  EXPECT_FALSE(tervik::Run::window_candidate({}, other, narrow.tables()).has_value());
}

TEST_F(RunQueryTest, LevelKeyRangeAndIds) {
  EXPECT_EQ(Level().aggregate_key_range(), KeyBounds{});
  EXPECT_TRUE(Level().list_ids().empty());
  auto r1 = std::make_shared<const tervik::Run>(std::vector<Table>{tree_.table(1, "c", "d"), tree_.table(2, "e", "f")});
  auto r2 = std::make_shared<const tervik::Run>(std::vector<Table>{tree_.table(3, "a", "b")});
  auto r3 = std::make_shared<const tervik::Run>(std::vector<Table>{tree_.table(4, "b", "z")});
  const Level level(std::vector<RunHandle>{r1, r2, r3});
  EXPECT_EQ(level.aggregate_key_range(), (KeyBounds{Slice(std::string_view("a")), Slice(std::string_view("z"))}));
  EXPECT_EQ(level.list_ids(), (std::unordered_set<uint64_t>{1, 2, 3, 4}));
  EXPECT_EQ(Level(std::vector<RunHandle>{r1}).aggregate_key_range(),
            (KeyBounds{Slice(std::string_view("c")), Slice(std::string_view("f"))}));

  // Overlapping ids of every run, run by run; bounds touch inclusively.
  auto ids = [&](const char* lo, const char* hi) {
    return level.overlapping_table_ids(Slice(std::string_view(lo)), Slice(std::string_view(hi)));
  };
  EXPECT_EQ(ids("f", "f"), (std::vector<uint64_t>{2, 4}));
  EXPECT_EQ(ids("0", "a"), (std::vector<uint64_t>{3}));
  EXPECT_EQ(ids("b", "c"), (std::vector<uint64_t>{1, 3, 4}));
  EXPECT_EQ(ids("zz", "zzz"), (std::vector<uint64_t>{}));
  EXPECT_TRUE(Level().overlapping_table_ids(Slice(std::string_view("a")), Slice(std::string_view("z"))).empty());
}

TEST(HiddenTableSet, Helpers) {
  HiddenTableSet hidden;
  const std::vector<uint64_t> a{1, 2}, b{2, 3}, c{4};
  EXPECT_FALSE(contains_any(hidden, a));
  insert_all(hidden, a);
  EXPECT_TRUE(contains_any(hidden, b));
  EXPECT_FALSE(contains_any(hidden, c));
  remove_all(hidden, b);  // 3 is not in the set: ignored
  EXPECT_EQ(hidden, (HiddenTableSet{1}));
}

}  // namespace
}  // namespace tervik
