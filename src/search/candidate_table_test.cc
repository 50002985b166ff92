#include "src/search/candidate_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace zv::search {
namespace {

// Ids that differ only in one half probe the same way when the mixing drops
// that half; every order of insertion must find each id again with the key
// it was first added under, across the table's growth.
TEST(CandidateTableTest, FindsEveryIdWithItsFirstKeyInAnyOrder) {
  std::vector<NodeId> ids;
  for (uint64_t i = 0; i < 700; ++i) {
    ids.push_back(make_node_id(0, i));
    ids.push_back(make_node_id(i + 1, 0));
    ids.push_back(make_node_id(i * 0x9E3779B97F4A7C15ull, ~i));
  }
  std::mt19937_64 rng(3);
  for (int round = 0; round < 4; ++round) {
    std::shuffle(ids.begin(), ids.end(), rng);
    CandidateTable<int> table;
    // Sized in advance for fewer, as many, or more ids than come.
    if (round > 0) table.reserve(ids.size() * round / 2);
    std::map<NodeId, std::string> first_key;
    for (size_t i = 0; i < ids.size(); ++i) {
      // Each id is added twice; the second sighting must find the first.
      for (int pass = 0; pass < 2; ++pass) {
        const std::string key = "k" + std::to_string(i) + (pass ? "-again" : "");
        auto [value, added] = table.find_or_add(ids[i], key);
        EXPECT_EQ(added, pass == 0) << "round " << round << " id " << i;
        if (added) first_key[ids[i]] = key;
        *value += 1;
      }
    }
    ASSERT_EQ(table.size(), ids.size());
    for (size_t s = 0; s < table.slots().size(); ++s) {
      const auto& slot = table.slots()[s];
      EXPECT_EQ(table.slot_number(&slot.value), s);
      EXPECT_EQ(slot.value, 2);
      EXPECT_EQ(table.key(slot), first_key[slot.id]);
      EXPECT_EQ(table.find(slot.id), &slot.value);
    }
    EXPECT_EQ(table.find(make_node_id(12345, 67890)), nullptr);
  }
  EXPECT_EQ(CandidateTable<int>().find(0), nullptr);
}

}  // namespace
}  // namespace zv::search
