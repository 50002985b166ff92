#include "tervik/tree/run_reader.h"

#include <gtest/gtest.h>

#include "tervik/tree/testing/bounds.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/testing/temp_dir.h"
#include "tervik/version/testing/version_fixture.h"

namespace tervik {
namespace {

using testing::all;
using testing::exc;
using testing::inc;

// Runs of tables holding two keys each (their min and max). Table ids are
// unique within the test binary, since the fixture's tables share one cache.
class RunReaderTest : public ::testing::Test {
 protected:
  RunHandle run_of(const std::vector<std::pair<std::string, std::string>>& ranges) {
    std::vector<Table> tables;
    for (const auto& [min, max] : ranges) tables.push_back(folder_.table(next_id_++, min, max));
    return std::make_shared<const tervik::Run>(std::move(tables));
  }
  // [a, c], [d, f], [g, i]
  RunHandle three() { return run_of({{"a", "c"}, {"d", "f"}, {"g", "i"}}); }

  static std::string key(const ReadItem& item) {
    return item->ok() ? std::string((*item)->key.user_key.view()) : "<error>";
  }
  static std::vector<std::string> drain(RunReader& r, bool back = false) {
    std::vector<std::string> out;
    while (ReadItem item = back ? r.next_back() : r.next()) out.push_back(key(item));
    return out;
  }

  zv::testing::TempDir dir_;
  testing::TreeFolder folder_{dir_.path()};
  static inline uint64_t next_id_ = 101;
};

TEST_F(RunReaderTest, CutsTheRunToTheBounds) {
  using Keys = std::vector<std::string>;
  struct Case {
    Bound lo, hi;
    std::optional<std::pair<size_t, size_t>> cut;
    Keys keys;
  };
  const std::vector<Case> cases = {
      {inc("e"), exc("h"), {{1, 2}}, {"f", "g"}},
      {inc("ca"), exc("cz"), std::nullopt, {}},
      {exc("f"), all(), {{2, 2}}, {"g", "i"}},
      {inc("f"), all(), {{1, 2}}, {"f", "g", "i"}},
      {all(), exc("g"), {{0, 1}}, {"a", "c", "d", "f"}},
      {all(), inc("g"), {{0, 2}}, {"a", "c", "d", "f", "g"}},
      {inc("j"), all(), std::nullopt, {}},
      {exc("i"), all(), std::nullopt, {}},
      {inc("i"), all(), {{2, 2}}, {"i"}},
      {all(), exc("a"), std::nullopt, {}},
      {all(), inc("a"), {{0, 0}}, {"a"}},
      {inc(""), all(), {{0, 2}}, {"a", "c", "d", "f", "g", "i"}},
      {inc("b"), inc("b"), {{0, 0}}, {}},
      {exc("c"), exc("d"), std::nullopt, {}},
      {all(), all(), {{0, 2}}, {"a", "c", "d", "f", "g", "i"}},
  };
  const RunHandle run = three();
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    const Case& c = cases[i];
    std::optional<RunReader> r = RunReader::create(run, KeyRange{c.lo, c.hi});
    ASSERT_EQ(r.has_value(), c.cut.has_value());
    if (!r) continue;
    EXPECT_EQ(std::make_pair(r->first(), r->last()), *c.cut);
    EXPECT_EQ(drain(*r), c.keys);
    std::optional<RunReader> back = RunReader::create(run, KeyRange{c.lo, c.hi});
    Keys reversed(c.keys.rbegin(), c.keys.rend());
    EXPECT_EQ(drain(*back, true), reversed);
  }
}

TEST_F(RunReaderTest, OpensTheInnerTablesOnlyWhenAnEndReachesThem) {
  std::optional<RunReader> r =
      RunReader::create(run_of({{"a", "a2"}, {"b", "b2"}, {"c", "c2"}, {"d", "d2"}, {"e", "e2"}}),
                        KeyRange::all());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->tables_opened(), 2u);  // the first and the last
  EXPECT_EQ(key(r->next()), "a");
  EXPECT_EQ(key(r->next()), "a2");
  EXPECT_EQ(r->tables_opened(), 2u);
  EXPECT_EQ(key(r->next()), "b");
  EXPECT_EQ(r->tables_opened(), 3u);
  EXPECT_EQ(key(r->next_back()), "e2");
  EXPECT_EQ(key(r->next_back()), "e");
  EXPECT_EQ(r->tables_opened(), 3u);
  EXPECT_EQ(key(r->next_back()), "d2");
  EXPECT_EQ(r->tables_opened(), 4u);
  EXPECT_EQ(drain(*r), (std::vector<std::string>{"b2", "c", "c2", "d"}));
  EXPECT_EQ(r->tables_opened(), 5u);
  EXPECT_FALSE(r->next_back().has_value());
}

TEST_F(RunReaderTest, ASingleTableCutReadsBackwardsThroughItsFrontReader) {
  std::optional<RunReader> r = RunReader::create(three(), KeyRange{inc("d"), inc("f")});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->tables_opened(), 1u);
  EXPECT_EQ(key(r->next_back()), "f");
  EXPECT_EQ(key(r->next()), "d");
  EXPECT_FALSE(r->next_back().has_value());
  EXPECT_FALSE(r->next().has_value());
}

// Every interleaving of next and next_back over three tables: the front
// ascends, the back descends, and together they yield each entry once.
TEST_F(RunReaderTest, AnyInterleavingYieldsEveryEntryOnce) {
  const RunHandle run = three();
  const std::vector<std::string> all_keys = {"a", "c", "d", "f", "g", "i"};
  for (unsigned pattern = 0; pattern < (1u << 7); ++pattern) {
    SCOPED_TRACE("pattern " + std::to_string(pattern));
    std::optional<RunReader> r = RunReader::create(run, KeyRange::all());
    ASSERT_TRUE(r);
    std::vector<std::string> front, back;
    for (unsigned step = 0; step < 7; ++step) {
      const bool from_back = (pattern >> step) & 1u;
      ReadItem item = from_back ? r->next_back() : r->next();
      if (step == 6) {
        EXPECT_FALSE(item.has_value());
        break;
      }
      ASSERT_TRUE(item.has_value());
      (from_back ? back : front).push_back(key(item));
    }
    std::vector<std::string> joined = front;
    joined.insert(joined.end(), back.rbegin(), back.rend());
    EXPECT_EQ(joined, all_keys);
  }
}

}  // namespace
}  // namespace tervik
