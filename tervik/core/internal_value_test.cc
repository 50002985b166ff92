#include "tervik/core/internal_value.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tervik/core/tag_parse.h"
#include "tervik/core/testing/panic_capture.h"

namespace tervik {
namespace {

using testing::panic_message;

InternalKey key(std::string_view k, SeqNo s, ValueType t = ValueType::kValue) {
  return InternalKey(Slice(k), s, t);
}

TEST(SliceTest, InlineAndSharedStorage) {
  struct Case {
    size_t len;
    bool inline_expected;
  };
  for (const Case& c : {Case{0, true}, Case{4, true}, Case{20, true}, Case{21, false},
                        Case{5000, false}}) {
    std::string bytes(c.len, '\0');
    for (size_t i = 0; i < c.len; ++i) bytes[i] = static_cast<char>(i * 7);
    Slice s(bytes);
    SCOPED_TRACE(c.len);
    EXPECT_EQ(s.is_inline(), c.inline_expected);
    EXPECT_EQ(s.view(), bytes);
    Slice copy = s;
    EXPECT_EQ(copy.view(), bytes);
    if (!c.inline_expected) {
      EXPECT_EQ(copy.data(), s.data()) << "copies share the buffer";
    }
    Slice moved = std::move(copy);
    EXPECT_EQ(moved, s);
    s = Slice("x");  // the old buffer stays alive through `moved`
    EXPECT_EQ(moved.view(), bytes);
  }
}

TEST(SliceTest, SubRangesShareOrInline) {
  std::string bytes(100, 'q');
  bytes[50] = 'Z';
  Slice s(bytes);
  Slice tail = s.sub(40, 60);
  EXPECT_EQ(tail.view(), bytes.substr(40));
  EXPECT_EQ(tail.data(), s.data() + 40);
  Slice small = s.sub(48, 5);
  EXPECT_TRUE(small.is_inline());
  EXPECT_EQ(small.view(), "qqZqq");
  EXPECT_EQ(panic_message([&] { (void)s.sub(90, 11); }), "slice range out of bounds");
  EXPECT_EQ(panic_message([] { (void)Slice::build(Slice::kMaxLength + 1, [](uint8_t*) {}); }),
            "byte slice too long");
}

TEST(SliceTest, OrderIsUnsignedLexicographic) {
  struct Case {
    std::string a, b;
    int want;
  };
  const std::string long_a(30, 'a');
  const Case cases[] = {
      {"a", "ab", -1},
      {"ab", "b", -1},
      {"", "a", -1},
      {"\x7f", "\x80", -1},  // bytes compare unsigned
      {"\xff", "\x01\x02", 1},
      {long_a, long_a + "a", -1},
      {long_a + "b", long_a + "a", 1},
      {"aaaab", "aaaac", -1},  // decided past the inline prefix
      {long_a, long_a, 0},
  };
  for (const Case& c : cases) {
    Slice a(c.a), b(c.b);
    EXPECT_EQ(a.compare(b), c.want) << c.a << " vs " << c.b;
    EXPECT_EQ(b.compare(a), -c.want) << c.a << " vs " << c.b;
    EXPECT_EQ(a == b, c.want == 0);
  }
}

TEST(InternalKeyTest, OrderByUserKeyThenSeqNoDescending) {
  // (a,9) < (a,5) < (a,0) < (ab,7) < (b,100)
  std::vector<InternalKey> sorted = {key("a", 9), key("a", 5), key("a", 0), key("ab", 7),
                                     key("b", 100)};
  for (size_t i = 0; i < sorted.size(); ++i) {
    for (size_t j = 0; j < sorted.size(); ++j) {
      int want = i < j ? -1 : (i > j ? 1 : 0);
      EXPECT_EQ(sorted[i].compare(sorted[j]), want) << i << " " << j;
    }
  }
  EXPECT_EQ(key("k", 7, ValueType::kTombstone), key("k", 7, ValueType::kValue));
  EXPECT_LT(key("k", 8), key("k", 7));
}

TEST(InternalKeyTest, SnapshotLookupFindsNewestBelowSnapshot) {
  std::set<InternalKey> keys = {key("k", 9), key("k", 7), key("k", 3), key("l", 1)};
  struct Case {
    SeqNo snapshot;
    std::optional<SeqNo> found;
  };
  for (const Case& c : {Case{8, 7}, Case{7, 3}, Case{3, std::nullopt}, Case{100, 9},
                        Case{10, 9}}) {
    auto it = keys.lower_bound(key("k", c.snapshot - 1));
    std::optional<SeqNo> got;
    if (it != keys.end() && it->user_key == Slice("k")) got = it->seqno;
    EXPECT_EQ(got, c.found) << "snapshot " << c.snapshot;
  }
}

TEST(InternalValueTest, KeyLimits) {
  struct Case {
    size_t key_len;
    std::string panic;
  };
  const Case cases[] = {
      {1, "<no panic>"},
      {65535, "<no panic>"},
      {65536, "keys can be 65535 bytes in length"},
      {0, "key may not be empty"},
  };
  for (const Case& c : cases) {
    Slice k(std::string(c.key_len, 'k'));
    EXPECT_EQ(panic_message([&] { (void)InternalValue::new_value(k, Slice(), 1); }), c.panic)
        << c.key_len;
    EXPECT_EQ(panic_message([&] { (void)InternalValue::new_tombstone(k, 1); }), c.panic)
        << c.key_len;
  }
  InternalValue v = InternalValue::new_weak_tombstone(Slice("k"), 3);
  EXPECT_TRUE(v.value.empty());
  EXPECT_TRUE(v.is_tombstone());
  EXPECT_EQ(v.key.value_type, ValueType::kWeakTombstone);
  EXPECT_EQ(InternalValue::new_indirection(Slice("k"), "\x01\x02", 4).key.value_type,
            ValueType::kIndirection);
}

TEST(InternalValueTest, PrintForms) {
  struct Case {
    InternalValue v;
    std::string want;
  };
  const Case cases[] = {
      {InternalValue::new_value(Slice("a"), Slice("hi"), 5), "Slice([97]):5:V => Slice([104, 105])"},
      {InternalValue::new_tombstone(Slice("a"), 0), "Slice([97]):0:T => Slice([])"},
      {InternalValue::new_weak_tombstone(Slice("\xff"), 18446744073709551615ull),
       "Slice([255]):18446744073709551615:W => Slice([])"},
      {InternalValue::new_indirection(Slice("a"), "\x05", 2), "Slice([97]):2:Vb => Slice([5])"},
      {InternalValue::new_value(Slice("a"), Slice(std::string(100, 'x')), 1),
       "Slice([97]):1:V => [ ... 100 bytes ]"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.v.debug_string(), c.want);
  // 99 bytes print in full.
  std::string full = InternalValue::new_value(Slice("a"), Slice(std::string(99, 'x')), 1).debug_string();
  EXPECT_EQ(std::count(full.begin(), full.end(), ','), 98);
  EXPECT_EQ(InternalValue::new_value(Slice("abc"), Slice(std::string(10, 'v')), 1).size(), 77u);
}

TEST(ValueTypeTest, ParseStoredBytes) {
  for (int b = 0; b < 256; ++b) {
    auto r = parse_value_type(static_cast<uint8_t>(b));
    bool valid = b == 0 || b == 1 || b == 2 || b == 4;
    ASSERT_EQ(r.ok(), valid) << b;
    if (valid) {
      EXPECT_EQ(static_cast<int>(*r), b);
    } else {
      EXPECT_EQ(r.error().to_string(),
                "TervikError: InvalidTag((\"ValueType\", " + std::to_string(b) + "))");
    }
  }
  EXPECT_EQ(parse_compression_type(1).value(), CompressionType::kLz4);
  EXPECT_EQ(parse_compression_type(2).error().debug_string(), "InvalidTag((\"CompressionType\", 2))");
}

TEST(SeqNoCounterTest, HandsOutIncreasingValuesSharedByCopies) {
  SeqNoCounter c(5);
  SeqNoCounter alias = c;
  EXPECT_EQ(c.next(), 5u);
  EXPECT_EQ(alias.next(), 6u);
  EXPECT_EQ(c.next(), 7u);
  EXPECT_EQ(alias.get(), 8u);
  c.raise_to(4);
  EXPECT_EQ(c.get(), 8u) << "never lowered";
  c.raise_to(20);
  EXPECT_EQ(alias.get(), 20u);

  SeqNoCounter last(kSeqNoLimit - 1);
  EXPECT_EQ(last.next(), kSeqNoLimit - 1);
  EXPECT_EQ(panic_message([&] { (void)last.next(); }), "Ran out of sequence numbers");
}

TEST(SeqNoCounterTest, ConcurrentCallersGetDistinctValues) {
  SeqNoCounter c(0);
  constexpr int kThreads = 4, kPerThread = 10000;
  std::vector<std::vector<SeqNo>> got(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) got[t].push_back(c.next());
    });
  }
  for (auto& t : threads) t.join();
  std::set<SeqNo> all;
  for (const auto& v : got) {
    EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
    all.insert(v.begin(), v.end());
  }
  EXPECT_EQ(all.size(), size_t{kThreads * kPerThread});
  EXPECT_EQ(*all.rbegin(), SeqNo{kThreads * kPerThread - 1});
}

}  // namespace
}  // namespace tervik
