#include "src/search/phrase.h"

#include <gtest/gtest.h>

namespace zv::search {
namespace {

TEST(PhraseMatches, Table) {
  const PositionsMap pos = {
      {"new", {7, 2}},  // unsorted on purpose
      {"york", {3}},
      {"big", {}},
      {"city", {4}},
      {"edge", {4294967295u}},
      {"end", {4294967295u}},
  };
  struct Case {
    Phrase phrase;
    bool want;
  } cases[] = {
      {{}, true},
      {{"new"}, true},
      {{"big"}, false},  // present without a position
      {{"absent"}, false},
      {{"new", "york"}, true},
      {{"new", "york", "city"}, true},
      {{"york", "new"}, false},  // the other order
      {{"new", "city"}, false},
      {{"new", "absent"}, false},
      {{"new", "new"}, false},
      {{"edge", "end"}, true},  // p + 1 saturates at 2^32 - 1
      {{"end", "end", "end"}, true},
  };
  for (const Case& c : cases) {
    std::string name;
    for (const auto& t : c.phrase) name += t + " ";
    EXPECT_EQ(phrase_matches(pos, c.phrase), c.want) << name;
  }
  EXPECT_TRUE(all_phrases_match({}, pos));
  EXPECT_TRUE(all_phrases_match({{"new", "york"}, {"new", "york"}}, pos));
  EXPECT_FALSE(all_phrases_match({{"new", "york"}, {"york", "new"}}, pos));
}

}  // namespace
}  // namespace zv::search
