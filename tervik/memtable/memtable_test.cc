#include "tervik/memtable/memtable.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "tervik/core/testing/panic_capture.h"

namespace tervik {
namespace {

InternalValue entry(std::string_view k, SeqNo s, ValueType t = ValueType::kValue,
                    std::string_view v = "") {
  return InternalValue::from_components(Slice(k), Slice(v), s, t);
}

std::string brief(const InternalValue& v) {
  return std::string(v.key.user_key.view()) + ":" + std::to_string(v.key.seqno) + ":" +
         std::string(value_type_short(v.key.value_type));
}

std::vector<std::string> drain(MemtableRange it, bool backwards) {
  std::vector<std::string> out;
  for (ReadItem i = backwards ? it.next_back() : it.next(); i; i = backwards ? it.next_back() : it.next()) {
    out.push_back(brief(i->value()));
  }
  return out;
}

TEST(MemtableTest, GetAtSnapshots) {
  auto m = Memtable::create(1);
  m->insert(entry("k", 5));
  m->insert(entry("k", 9, ValueType::kTombstone));
  m->insert(entry("j", 0));
  m->insert(entry("ka", 1));
  struct Case {
    std::string key;
    SeqNo snapshot;
    std::string want;  // empty: none
  };
  const Case cases[] = {
      {"k", 10, "k:9:T"}, {"k", 9, "k:5:V"}, {"k", 6, "k:5:V"}, {"k", 5, ""},
      {"j", 0, ""},       {"j", 1, "j:0:V"}, {"ka", 100, "ka:1:V"}, {"kb", 100, ""},
      {"", 100, ""},
  };
  for (const Case& c : cases) {
    auto got = m->get(c.key, c.snapshot);
    EXPECT_EQ(got ? brief(*got) : "", c.want) << c.key << "@" << c.snapshot;
  }
  EXPECT_EQ(testing::panic_message([&] { (void)m->get(std::string(65536, 'k'), 5); }),
            "keys can be 65535 bytes in length");
}

TEST(MemtableTest, SizesCountsAndReplacement) {
  auto m = Memtable::create(7);
  EXPECT_EQ(m->id(), 7u);
  EXPECT_TRUE(m->is_empty());
  EXPECT_EQ(m->get_highest_seqno(), std::nullopt);
  EXPECT_EQ(m->insert(entry("abc", 7, ValueType::kValue, "0123456789")),
            (std::pair<uint64_t, uint64_t>{77, 77}));
  EXPECT_EQ(m->insert(entry("abc", 3, ValueType::kValue, "0123456789")),
            (std::pair<uint64_t, uint64_t>{77, 154}));
  EXPECT_EQ(m->get_highest_seqno(), 7u);
  // The same key and sequence number again: one entry, the later one, and
  // the size counted twice.
  auto big = std::string(40, 'v');
  m->insert(entry("abc", 3, ValueType::kTombstone));
  m->insert(entry("abc", 3, ValueType::kValue, big));
  EXPECT_EQ(m->len(), 2u);
  EXPECT_EQ(m->size(), 154u + 67 + 107);
  EXPECT_EQ(m->get("abc", 4)->value.view(), big);
  // The size grows before the key check.
  std::string long_key(65536, 'k');
  EXPECT_EQ(testing::panic_message([&] {
              m->insert(InternalValue(InternalKey(Slice(long_key), 1, ValueType::kValue), Slice()));
            }),
            "keys can be 65535 bytes in length");
  EXPECT_EQ(m->size(), 154u + 67 + 107 + 65536 + 64);
  EXPECT_EQ(m->len(), 2u);
}

TEST(MemtableTest, RangeBothDirectionsAtSnapshot) {
  auto m = Memtable::create(1);
  for (auto [k, s] : std::vector<std::pair<const char*, SeqNo>>{
           {"a", 5}, {"a", 6}, {"b", 1}, {"c", 3}, {"c", 9}, {"d", 2}}) {
    m->insert(entry(k, s));
  }
  struct Case {
    KeyRange range;
    SeqNo snapshot;
    std::vector<std::string> forward;
  };
  const Case cases[] = {
      {KeyRange::all(), 6, {"a:5:V", "b:1:V", "c:3:V", "d:2:V"}},
      {KeyRange::all(), 100, {"a:6:V", "a:5:V", "b:1:V", "c:9:V", "c:3:V", "d:2:V"}},
      {{Bound::included(Slice("b")), Bound::excluded(Slice("d"))}, 100, {"b:1:V", "c:9:V", "c:3:V"}},
      {{Bound::excluded(Slice("a")), Bound::included(Slice("c"))}, 4, {"b:1:V", "c:3:V"}},
      {{Bound::excluded(Slice("bb")), Bound::unbounded()}, 100, {"c:9:V", "c:3:V", "d:2:V"}},
      {{Bound::included(Slice("e")), Bound::unbounded()}, 100, {}},
      {{Bound::included(Slice("c")), Bound::excluded(Slice("c"))}, 100, {}},
      {KeyRange::all(), 1, {}},
  };
  for (const Case& c : cases) {
    auto backward = c.forward;
    std::reverse(backward.begin(), backward.end());
    EXPECT_EQ(drain(m->range(c.range, c.snapshot), false), c.forward);
    EXPECT_EQ(drain(m->range(c.range, c.snapshot), true), backward);
  }
  // iter() sees every entry regardless of sequence number.
  EXPECT_EQ(drain(m->iter(), false).size(), 6u);
}

TEST(MemtableTest, RandomInterleavingsMatchModel) {
  std::mt19937_64 rng(7);
  auto m = Memtable::create(1);
  std::map<InternalKey, InternalValue> model;
  for (int i = 0; i < 3000; ++i) {
    std::string k = "key" + std::to_string(rng() % 200);
    if (rng() % 3 == 0) k += std::string(30, 'x');  // shared-buffer keys too
    SeqNo s = rng() % 50;
    ValueType t = (rng() % 4 == 0) ? ValueType::kTombstone : ValueType::kValue;
    InternalValue v = entry(k, s, t, t == ValueType::kValue ? std::to_string(i) : "");
    model[v.key] = v;  // later insert wins
    m->insert(v);
  }
  ASSERT_EQ(m->len(), model.size());
  for (int round = 0; round < 200; ++round) {
    SeqNo snapshot = rng() % 55;
    std::vector<InternalValue> want;
    for (const auto& [k, v] : model) {
      if (k.seqno < snapshot) want.push_back(v);
    }
    // Random interleaving of the two ends: the front takes from the start of
    // `want`, the back from its end.
    MemtableRange it = m->range(KeyRange::all(), snapshot);
    size_t lo = 0, hi = want.size();
    for (;;) {
      bool back = rng() % 2;
      ReadItem got = back ? it.next_back() : it.next();
      if (lo == hi) {
        ASSERT_FALSE(got.has_value());
        ASSERT_FALSE(it.next().has_value());
        ASSERT_FALSE(it.next_back().has_value());
        break;
      }
      ASSERT_TRUE(got.has_value());
      const InternalValue& expect = back ? want[--hi] : want[lo++];
      ASSERT_EQ(got->value().debug_string(), expect.debug_string());
    }
    // Point reads.
    for (int q = 0; q < 20; ++q) {
      std::string k = "key" + std::to_string(rng() % 200);
      std::optional<InternalValue> expect;
      for (const auto& [mk, mv] : model) {
        if (mk.user_key == Slice(k) && mk.seqno < snapshot) {
          expect = mv;
          break;
        }
      }
      auto got = m->get(k, snapshot);
      ASSERT_EQ(got.has_value(), expect.has_value()) << k;
      if (got) {
        ASSERT_EQ(got->debug_string(), expect->debug_string());
      }
    }
  }
}

}  // namespace
}  // namespace tervik
