#include "tervik/memtable/skip_list.h"

#include <gtest/gtest.h>

#include <string>

namespace tervik {
namespace {

InternalValue version(std::string_view key, SeqNo s) {
  return InternalValue::from_components(Slice(key), Slice("v"), s, ValueType::kValue);
}

// A seek must answer with the node it compared, never with one linked in
// front of it meanwhile. The predicate stands in for a concurrent writer: each
// time it looks at the target it links a newer version of the key just
// behind the search position. A target of height one is compared last at the
// bottom level, so the insert lands after the final comparison; over many
// fresh lists some target always has that height.
TEST(SkipListTest, SeekIgnoresNodesLinkedBehindTheSearch) {
  for (int round = 0; round < 64; ++round) {
    SkipList list;
    list.insert(version("a", 1));
    list.insert(version("m", 5));
    SeqNo newer = 100;
    // Seeking version 5 of "m" (a snapshot that does not see newer ones).
    const SkipList::Node* found = list.first_not_before([&](const SkipList::Node& n) {
      const bool before = n.user_key().view() < std::string_view("m") ||
                          (n.user_key().view() == "m" && n.seqno() > 5);
      if (!before && n.user_key().view() == "m") list.insert(version("m", newer++));
      return before;
    });
    ASSERT_NE(found, nullptr) << "round " << round;
    EXPECT_EQ(found->user_key().view(), "m") << "round " << round;
    EXPECT_EQ(found->seqno(), 5u) << "round " << round;
  }
}

}  // namespace
}  // namespace tervik
