#include "tervik/merge/merger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>

#include "tervik/merge/testing/vector_source.h"

namespace tervik {
namespace {

using testing::iv;
using testing::merge_of;
using testing::show;
using testing::SourceStep;
using testing::VectorSource;
using Box = std::unique_ptr<DoubleEndedSource>;


// Steps "n" (front) and "b" (back) in order, then the end at both ends.
std::vector<std::string> run(Merger<Box>& m, std::string_view steps) {
  std::vector<std::string> out;
  for (char c : steps) out.push_back(show(c == 'n' ? m.next() : m.next_back()));
  return out;
}

TEST(MergerTest, OrdersAndErrors) {
  struct Case {
    std::vector<std::vector<SourceStep>> sources;
    std::string steps;
    std::vector<std::string> want;
  };
  const Case cases[] = {
      {{}, "nbnb", {"END", "END", "END", "END"}},
      {{{}, {}}, "bn", {"END", "END"}},
      {{{{iv("a", 5)}, {iv("c", 5)}}, {{iv("b", 5)}}}, "nnnnb", {"a:5:V", "b:5:V", "c:5:V", "END", "END"}},
      {{{{iv("a", 5)}, {iv("c", 5)}}, {{iv("b", 5)}}}, "bbbbn", {"c:5:V", "b:5:V", "a:5:V", "END", "END"}},
      {{{{iv("k", 9)}}, {{iv("k", 3)}}, {{iv("k", 7)}}}, "nnn", {"k:9:V", "k:7:V", "k:3:V"}},
      {{{{iv("k", 9)}}, {{iv("k", 3)}}, {{iv("k", 7)}}}, "bbbn", {"k:3:V", "k:7:V", "k:9:V", "END"}},
      {{{{iv("a", 1)}, {iv("c", 1)}}, {{iv("b", 1)}}}, "nbnnb", {"a:1:V", "c:1:V", "b:1:V", "END", "END"}},
      {{{{iv("1", 0)}, {iv("2", 0)}, {iv("3", 0)}, {iv("4", 0)}}}, "nbbbnb",
       {"1:0:V", "4:0:V", "3:0:V", "2:0:V", "END", "END"}},
      // Errors: first item, and on the refill after the first entry.
      {{{{iv("a", 1)}}, {{iv("x", 0), true}}}, "n", {"ERR"}},
      {{{{iv("a", 1)}, {iv("b", 1), true}}, {{iv("c", 0)}}}, "n", {"ERR"}},
      {{{{iv("a", 1)}, {iv("b", 1), true}, {iv("c", 1)}}}, "b", {"ERR"}},
      {{{{iv("a", 1)}, {iv("b", 1), true}, {iv("c", 1)}, {iv("d", 1)}}}, "bn", {"d:1:V", "ERR"}},
  };
  for (const Case& c : cases) {
    Merger<Box> m = merge_of(c.sources);
    EXPECT_EQ(run(m, c.steps), c.want) << c.steps;
  }
}

TEST(MergerTest, EqualInternalKeysAreAllYieldedAdjacent) {
  Merger<Box> m = merge_of({{{iv("k", 4, ValueType::kValue)}, {iv("z", 1)}},
                            {{iv("k", 4, ValueType::kTombstone)}}});
  std::vector<std::string> got = run(m, "nnnn");
  ASSERT_EQ(got.size(), 4u);
  std::sort(got.begin(), got.begin() + 2);
  EXPECT_EQ(got, (std::vector<std::string>{"k:4:T", "k:4:V", "z:1:V", "END"}));
}

TEST(MergerTest, RandomInterleavingsMatchSortedModel) {
  std::mt19937_64 rng(42);
  for (int round = 0; round < 300; ++round) {
    size_t n_sources = rng() % 6;
    std::vector<std::vector<SourceStep>> sources(n_sources);
    std::vector<InternalValue> all;
    for (auto& s : sources) {
      std::vector<InternalValue> entries;
      size_t n = rng() % 12;
      for (size_t i = 0; i < n; ++i) {
        entries.push_back(iv(std::string(1, static_cast<char>('a' + rng() % 6)), rng() % 5,
                             rng() % 2 ? ValueType::kValue : ValueType::kTombstone));
      }
      std::sort(entries.begin(), entries.end(),
                [](const auto& a, const auto& b) { return a.key < b.key; });
      // A source never holds one internal key twice.
      entries.erase(std::unique(entries.begin(), entries.end(),
                                [](const auto& a, const auto& b) { return a.key == b.key; }),
                    entries.end());
      for (auto& e : entries) {
        s.push_back({e});
        all.push_back(e);
      }
    }
    Merger<Box> m = merge_of(sources);
    std::vector<InternalValue> front, back;
    for (;;) {
      bool b = rng() % 2;
      ReadItem item = b ? m.next_back() : m.next();
      if (!item) break;
      ASSERT_TRUE(item->ok());
      (b ? back : front).push_back(std::move(*item).value());
    }
    EXPECT_FALSE(m.next().has_value());
    EXPECT_FALSE(m.next_back().has_value());
    // Front ascending, back descending, and together every entry once.
    std::vector<InternalValue> joined = front;
    joined.insert(joined.end(), back.rbegin(), back.rend());
    ASSERT_EQ(joined.size(), all.size());
    for (size_t i = 1; i < joined.size(); ++i) {
      ASSERT_LE(joined[i - 1].key.compare(joined[i].key), 0) << "round " << round << " at " << i;
    }
    auto shown = [](std::vector<InternalValue> v) {
      std::vector<std::string> s;
      for (auto& e : v) s.push_back(e.key.debug_string());
      std::sort(s.begin(), s.end());
      return s;
    };
    ASSERT_EQ(shown(joined), shown(all));
  }
}

}  // namespace
}  // namespace tervik
