#include "tervik/merge/mvcc_stream.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "tervik/memtable/memtable.h"
#include "tervik/merge/testing/vector_source.h"

namespace tervik {
namespace {

using testing::iv;
using testing::merge_of;
using testing::show;
using testing::SourceStep;
using testing::VectorSource;
using Box = std::unique_ptr<DoubleEndedSource>;


template <class Stream>
std::vector<std::string> run(Stream& s, std::string_view steps) {
  std::vector<std::string> out;
  for (char c : steps) out.push_back(show(c == 'n' ? s.next() : s.next_back()));
  return out;
}

TEST(MvccStreamTest, NewestVersionPerKey) {
  const auto T = ValueType::kTombstone;
  const auto W = ValueType::kWeakTombstone;
  struct Case {
    std::vector<std::vector<SourceStep>> sources;
    std::string steps;
    std::vector<std::string> want;
  };
  const Case cases[] = {
      {{{{iv("k", 9)}, {iv("k", 7)}, {iv("k", 3, T)}}}, "nn", {"k:9:V", "END"}},
      {{{{iv("k", 9)}, {iv("k", 7)}, {iv("k", 3, T)}}}, "bb", {"k:9:V", "END"}},
      {{{{iv("a", 5)}, {iv("a", 2)}, {iv("b", 6)}, {iv("b", 1)}}}, "nnn", {"a:5:V", "b:6:V", "END"}},
      {{{{iv("a", 5)}, {iv("a", 2)}, {iv("b", 6)}, {iv("b", 1)}}}, "bbb", {"b:6:V", "a:5:V", "END"}},
      {{{{iv("a", 5)}, {iv("a", 2)}, {iv("b", 6)}, {iv("b", 1)}}}, "nbnb",
       {"a:5:V", "b:6:V", "END", "END"}},
      {{{{iv("a", 5)}, {iv("b", 1)}}, {{iv("a", 2)}, {iv("b", 6)}}}, "bnbn",
       {"b:6:V", "a:5:V", "END", "END"}},
      // An error while skipping older versions replaces the newest one.
      {{{{iv("k", 9)}, {iv("k", 7), true}, {iv("k", 3)}}}, "n", {"ERR"}},
      {{{{iv("j", 1)}, {iv("k", 9), true}, {iv("k", 3)}}}, "b", {"ERR"}},
      // Tombstones pass the MVCC stream; the filter removes them.
      {{{{iv("k", 8, W)}, {iv("k", 6)}}}, "n", {"k:8:W"}},
  };
  for (const Case& c : cases) {
    MvccStream<Merger<Box>> s(merge_of(c.sources));
    EXPECT_EQ(run(s, c.steps), c.want) << c.steps;
  }
}

TEST(TombstoneFilterTest, KeysWhoseNewestVersionIsDeletedAreAbsent) {
  const auto T = ValueType::kTombstone;
  const auto W = ValueType::kWeakTombstone;
  std::vector<std::vector<SourceStep>> sources = {
      {{iv("a", 3)}, {iv("b", 8, W)}, {iv("b", 6)}, {iv("c", 9, T)}, {iv("c", 2)}, {iv("d", 1)}},
      {{iv("c", 10)}, {iv("e", 4, T)}}};
  TombstoneFilter<Merger<Box>> f(merge_of(sources));
  EXPECT_EQ(run(f, "nnnn"), (std::vector<std::string>{"a:3:V", "c:10:V", "d:1:V", "END"}));
  TombstoneFilter<Merger<Box>> g(merge_of(sources));
  EXPECT_EQ(run(g, "bbbb"), (std::vector<std::string>{"d:1:V", "c:10:V", "a:3:V", "END"}));
}

TEST(SeqnoFilterTest, HidesEntriesAtOrAboveSnapshot) {
  for (auto [snapshot, want] : std::vector<std::pair<SeqNo, std::string>>{{10, "END"}, {11, "k:10:V"}}) {
    SeqnoFilter<Box> f(std::make_unique<VectorSource>(std::vector<SourceStep>{{iv("k", 10)}}),
                       snapshot);
    EXPECT_EQ(show(f.next()), want);
  }
  SeqnoFilter<Box> f(std::make_unique<VectorSource>(std::vector<SourceStep>{
                         {iv("a", 1)}, {iv("b", 7)}, {iv("c", 2)}, {iv("d", 9), true}}),
                     5);
  EXPECT_EQ(run(f, "bbbbb"), (std::vector<std::string>{"ERR", "c:2:V", "a:1:V", "END", "END"}));
}

// A scan over memtables through the MVCC stream matches a sorted-multimap
// model under random forward and backward steps, at random snapshots.
TEST(MvccStreamTest, RandomScansOverMemtablesMatchModel) {
  std::mt19937_64 rng(9);
  for (int round = 0; round < 100; ++round) {
    std::vector<std::shared_ptr<Memtable>> tables;
    std::multimap<std::string, InternalValue> model;  // user key -> versions
    size_t n_tables = 1 + rng() % 4;
    for (size_t t = 0; t < n_tables; ++t) tables.push_back(Memtable::create(t));
    for (int i = 0; i < 60; ++i) {
      std::string k(1, static_cast<char>('a' + rng() % 12));
      SeqNo s = rng() % 30;
      ValueType type = rng() % 5 == 0 ? ValueType::kTombstone : ValueType::kValue;
      InternalValue v = InternalValue::from_components(Slice(k), Slice(std::to_string(i)), s, type);
      auto& table = tables[rng() % n_tables];
      // Within one memtable the later insert of an equal key wins.
      auto range = model.equal_range(k);
      for (auto it = range.first; it != range.second;) {
        bool same_table = it->second.value.view().find('@' + std::to_string(table->id())) != std::string_view::npos;
        it = (it->second.key.seqno == s && same_table) ? model.erase(it) : std::next(it);
      }
      v.value = Slice(std::to_string(i) + "@" + std::to_string(table->id()));
      model.emplace(k, v);
      table->insert(v);
    }
    SeqNo snapshot = rng() % 32;
    std::vector<Box> sources;
    for (auto& t : tables) sources.push_back(std::make_unique<MemtableRange>(t->range(KeyRange::all(), snapshot)));
    TombstoneFilter<Merger<Box>> scan(Merger<Box>(std::move(sources)));

    // Per key: the visible versions with the highest sequence number; any
    // of several equal ones may be chosen.
    std::map<std::string, std::set<std::string>> newest;
    std::map<std::string, SeqNo> best;
    for (const auto& [k, v] : model) {
      if (v.key.seqno >= snapshot) continue;
      auto it = best.find(k);
      if (it == best.end() || v.key.seqno > it->second) {
        best[k] = v.key.seqno;
        newest[k] = {v.debug_string()};
      } else if (v.key.seqno == it->second) {
        newest[k].insert(v.debug_string());
      }
    }
    std::vector<std::string> front, back;
    for (;;) {
      bool b = rng() % 2;
      ReadItem item = b ? scan.next_back() : scan.next();
      if (!item) break;
      ASSERT_TRUE(item->ok());
      const InternalValue& v = item->value();
      std::string k(v.key.user_key.view());
      ASSERT_TRUE(newest.count(k)) << k;
      ASSERT_TRUE(newest[k].count(v.debug_string())) << v.debug_string();
      ASSERT_FALSE(v.is_tombstone());
      (b ? back : front).push_back(k);
    }
    std::vector<std::string> joined = front;
    joined.insert(joined.end(), back.rbegin(), back.rend());
    ASSERT_TRUE(std::is_sorted(joined.begin(), joined.end()));
    ASSERT_EQ(std::adjacent_find(joined.begin(), joined.end()), joined.end()) << "a key twice";
    // Every key whose newest versions are all values is present; a key whose
    // newest versions are all tombstones is absent.
    for (const auto& [k, versions] : newest) {
      bool any_value = false, any_tomb = false;
      for (const auto& s : versions) (s.find(":T =>") != std::string::npos ? any_tomb : any_value) = true;
      bool present = std::find(joined.begin(), joined.end(), k) != joined.end();
      if (!any_tomb) {
        ASSERT_TRUE(present) << k;
      }
      if (!any_value) {
        ASSERT_FALSE(present) << k;
      }
    }
  }
}

}  // namespace
}  // namespace tervik
